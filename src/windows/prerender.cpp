// Run while Quillon is built: writes the window icon's images and the logo scaled to its box,
// each as plain pixels, so that the program does not decode or scale them at start-up.
//
//   quillon-prerender OUTPUT-DIR LOGO.bmp ICON.ico WIDTHxHEIGHT...
//
// The logo is scaled the way the window scales it for any other size (smoothly, to fill the
// box); the icon keeps the images Qt itself keeps when it loads the icon file: one per size,
// the one with the most colours.

#include "prerenderedimage.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QMap>

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
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
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

    // Qt's icon reader tells each image's depth in the file, 8 or 32 bits, by this key.
    auto depthInFile = [](const QImage &image) {
        return image.text(QStringLiteral("_q_icoOrigDepth")).toInt();
    };
    QImageReader icon(arguments[3], "ico");
    QMap<int, QImage> bySide;
    for (QImage image; icon.read(&image); image = QImage()) {
        const int side = image.width();
        if (!bySide.contains(side) || depthInFile(image) > depthInFile(bySide[side]))
            bySide[side] = image;
        if (!icon.jumpToNextImage())
            break;
    }
    if (bySide.isEmpty()) {
        std::fprintf(stderr, "quillon-prerender: cannot read %s\n", qPrintable(arguments[3]));
        return 1;
    }
    for (const QImage &image : std::as_const(bySide)) {
        const QString name = QStringLiteral("icon-%1x%2").arg(image.width()).arg(image.height());
        if (!writeImage(output.filePath(name), image))
            return 1;
    }
    return 0;
}
