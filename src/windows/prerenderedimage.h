#pragma once

#include <QByteArray>
#include <QImage>
#include <QtEndian>

#include <cstring>

// The window icon and the logo are decoded and scaled once, when Quillon is built, and kept as
// plain pixels: decoding them at start-up loaded image plugins and took longer than laying out
// the whole window. The form: "QPX1"; width, height and whether the picture has an alpha
// channel (1) or not (0), as little-endian 32-bit numbers; then the rows of 32-bit ARGB pixels,
// each pixel little-endian.
namespace PrerenderedImage {

inline constexpr char Magic[4] = {'Q', 'P', 'X', '1'};
inline constexpr int HeaderSize = 16;

inline QByteArray encode(const QImage &image)
{
    const bool alpha = image.hasAlphaChannel();
    const QImage pixels
            = image.convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    QByteArray bytes(
            HeaderSize + qsizetype(pixels.width()) * pixels.height() * 4, Qt::Uninitialized);
    char *out = bytes.data();
    std::memcpy(out, Magic, sizeof Magic);
    qToLittleEndian<quint32>(quint32(pixels.width()), out + 4);
    qToLittleEndian<quint32>(quint32(pixels.height()), out + 8);
    qToLittleEndian<quint32>(alpha ? 1 : 0, out + 12);
    out += HeaderSize;
    for (int y = 0; y < pixels.height(); ++y) {
        const auto *row = reinterpret_cast<const QRgb *>(pixels.constScanLine(y));
        for (int x = 0; x < pixels.width(); ++x, out += 4)
            qToLittleEndian<quint32>(row[x], out);
    }
    return bytes;
}

// A null image for anything that is not whole.
inline QImage decode(const QByteArray &bytes)
{
    if (bytes.size() < HeaderSize || std::memcmp(bytes.constData(), Magic, sizeof Magic) != 0)
        return {};
    const quint32 width = qFromLittleEndian<quint32>(bytes.constData() + 4);
    const quint32 height = qFromLittleEndian<quint32>(bytes.constData() + 8);
    const quint32 alpha = qFromLittleEndian<quint32>(bytes.constData() + 12);
    if (width == 0 || height == 0 || width > 4096 || height > 4096 || alpha > 1
            || bytes.size() != HeaderSize + qsizetype(width) * height * 4)
        return {};
    QImage image(int(width), int(height), alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    const char *in = bytes.constData() + HeaderSize;
    for (int y = 0; y < image.height(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x, in += 4)
            row[x] = qFromLittleEndian<quint32>(in);
    }
    return image;
}

} // namespace PrerenderedImage
