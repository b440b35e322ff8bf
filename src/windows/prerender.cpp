// Run while Quillon is built: writes the window icon's images and the logo scaled to its box,
// each as plain pixels, so that the program does not decode or scale them at start-up.
//
//   quillon-prerender OUTPUT-DIR LOGO.bmp ICON.ico WIDTHxHEIGHT...
//
// The logo is scaled the way the window scales it for any other size (smoothly, to fill the
// box); the icon keeps the images Qt itself keeps from the icon file, one per size.

#include "prerenderedimage.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>

#include <cstdio>

namespace {

bool writeImage(const QString &path, const QImage &image)
{
    QFile file(path);
    if (image.isNull() || !file.open(QIODevice::WriteOnly)
            || file.write(PrerenderedImage::encode(image)) < 0 || !file.flush()) {
        std::fprintf(stderr, "quillon-prerender: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    // Pixmaps need a GUI application; no display is needed for that.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList arguments = QGuiApplication::arguments();
    if (arguments.size() < 5) {
        std::fputs(
                "usage: quillon-prerender OUTPUT-DIR LOGO.bmp ICON.ico WIDTHxHEIGHT...\n", stderr);
        return 2;
    }
    const QDir output(arguments[1]);
    if (!output.mkpath(QStringLiteral(".")))
        return 1;

    const QImage logo(arguments[2]);
    if (logo.isNull()) {
        std::fprintf(stderr, "quillon-prerender: cannot read %s\n", qPrintable(arguments[2]));
        return 1;
    }
    for (const QString &size : arguments.mid(4)) {
        const QStringList parts = size.split(QLatin1Char('x'));
        const QSize box(parts.value(0).toInt(), parts.value(1).toInt());
        if (parts.size() != 2 || box.isEmpty())
            return 2;
        const QImage scaled = logo.scaled(box, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        if (!writeImage(output.filePath(QStringLiteral("logo-%1").arg(size)), scaled))
            return 1;
    }

    const QIcon icon(arguments[3]);
    if (icon.availableSizes().isEmpty()) {
        std::fprintf(stderr, "quillon-prerender: cannot read %s\n", qPrintable(arguments[3]));
        return 1;
    }
    for (const QSize &size : icon.availableSizes()) {
        const QString name = QStringLiteral("icon-%1x%2").arg(size.width()).arg(size.height());
        if (!writeImage(output.filePath(name), icon.pixmap(size).toImage()))
            return 1;
    }
    return 0;
}
