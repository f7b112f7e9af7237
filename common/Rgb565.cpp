#include "common/Rgb565.h"

namespace glimmet {

QByteArray toRgb565(const QImage& image) {
    if (image.isNull())
        return {};
    const QImage source = (image.format() == QImage::Format_ARGB32_Premultiplied ||
                           image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_ARGB32)
                              ? image
                              : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int width = source.width();
    const int height = source.height();
    QByteArray out(qsizetype(width) * height * 2, Qt::Uninitialized);
    auto* dst = reinterpret_cast<unsigned char*>(out.data());
    for (int y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(source.constScanLine(y));
        for (int x = 0; x < width; ++x) {
            const QRgb p = row[x];
            const unsigned r = qRed(p), g = qGreen(p), b = qBlue(p);
            *dst++ = static_cast<unsigned char>((r & 0xF8) | (g >> 5));
            *dst++ = static_cast<unsigned char>((((g >> 2) & 0x07) << 5) | (b >> 3));
        }
    }
    return out;
}

} // namespace glimmet
