#include "artwork.h"

#include "prerenderedimage.h"

#include <QDir>
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
        const QStringList names
                = QDir(PrerenderedFolder).entryList({QStringLiteral("icon-*")}, QDir::Files);
        for (const QString &name : names) {
            const QImage image = prerendered(name);
            if (!image.isNull())
                made.addPixmap(QPixmap::fromImage(image));
        }
        return made.isNull() ? QIcon(QStringLiteral(":/quillon/quillon.ico")) : made;
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
