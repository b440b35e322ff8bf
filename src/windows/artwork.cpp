#include "artwork.h"

#include "prerenderedimage.h"

#include <QImage>
#include <QResource>

namespace {

const QString PrerenderedFolder = QStringLiteral(":/quillon/prerendered/");

QImage prerendered(const QString &name)
{
    const QResource resource(PrerenderedFolder + name);
    if (!resource.isValid())
        return {};
    return PrerenderedImage::decode(resource.uncompressedData());
}

} // namespace

QIcon QuillonWindowIcon()
{
    // Made once: every window shows the same icon, and the main window and the hidden port
    // window both want it at start-up.
    static const QIcon icon = [] {
        QIcon made;
        // The icon file's sizes, decoded while building (icon_sizes in src/CMakeLists.txt).
        for (const int side : {16, 32, 48}) {
            const QImage image = prerendered(QStringLiteral("icon-%1x%1").arg(side));
            if (image.isNull())
                return QIcon(QStringLiteral(":/quillon/quillon.ico"));
            made.addPixmap(QPixmap::fromImage(image));
        }
        return made;
    }();
    return icon;
}

QPixmap QuillonLogo(QSize devicePixels)
{
    QImage fitted = prerendered(
            QStringLiteral("logo-%1x%2").arg(devicePixels.width()).arg(devicePixels.height()));
    // Scaled here only for a box or a screen scale the build did not foresee.
    if (fitted.isNull())
        fitted = QImage(QStringLiteral(":/quillon/logo.bmp"))
                         .scaled(devicePixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return QPixmap::fromImage(fitted);
}
