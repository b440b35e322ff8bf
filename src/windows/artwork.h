#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>

// The icon every Quillon window shows: the six-image icon file's images, one per size.
QIcon QuillonWindowIcon();

// The maker's logo bitmap scaled smoothly to fill a box of the given size in device pixels.
QPixmap QuillonLogo(QSize devicePixels);
