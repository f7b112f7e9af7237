#include "tools/clock-sim/PackedFrame.h"

#include "market/MarketFrameCodec.h"

#include <QtEndian>

namespace glimmet {

namespace {

Error bad(const QString& why) {
    return Error{QStringLiteral("PackedFrame"), 1, why};
}

} // namespace

Result<PackedFrame> PackedFrame::unpack(QByteArrayView envelope) {
    constexpr int header = MarketFrameCodec::envelopeHeaderBytes;
    if (envelope.size() <= header || envelope.first(4) != QByteArrayView("MKT1"))
        return std::unexpected(bad(QStringLiteral("no MKT1 envelope")));
    const auto* bytes = reinterpret_cast<const uchar*>(envelope.data());
    if (qFromBigEndian<quint16>(bytes + 12) != MarketFrameCodec::width ||
        qFromBigEndian<quint16>(bytes + 14) != MarketFrameCodec::height)
        return std::unexpected(bad(QStringLiteral("frame is not 240 x 240")));
    const QByteArrayView packed = envelope.sliced(header);
    if (qFromBigEndian<quint32>(bytes + 16) != MarketFrameCodec::crc32(packed))
        return std::unexpected(bad(QStringLiteral("CRC-32 mismatch")));

    PackedFrame out{qFromBigEndian<quint64>(bytes + 4), {}};
    out.raw.reserve(MarketFrameCodec::rawFrameBytes);
    qsizetype i = 0;
    while (i < packed.size()) {
        const uchar h = uchar(packed[i++]);
        const bool run = h & 0x80;
        const qsizetype pixels = (h & 0x7F) + 1;
        const qsizetype data = run ? 2 : 2 * pixels;
        if (i + data > packed.size() || out.raw.size() + 2 * pixels > MarketFrameCodec::rawFrameBytes)
            return std::unexpected(bad(QStringLiteral("packet overruns the frame")));
        if (run) {
            for (qsizetype p = 0; p < pixels; ++p)
                out.raw.append(packed.sliced(i, 2));
        } else {
            out.raw.append(packed.sliced(i, data));
        }
        i += data;
    }
    if (out.raw.size() != MarketFrameCodec::rawFrameBytes)
        return std::unexpected(bad(QStringLiteral("frame unpacks to %1 bytes").arg(out.raw.size())));
    return out;
}

QImage PackedFrame::image(QByteArrayView rgb565, int width, int height) {
    if (width <= 0 || height <= 0 || rgb565.size() < qsizetype(width) * height * 2)
        return {};
    QImage out(width, height, QImage::Format_RGB32);
    const auto* p = reinterpret_cast<const uchar*>(rgb565.data());
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < width; ++x, p += 2) {
            const unsigned value = (unsigned(p[0]) << 8) | p[1];
            row[x] = qRgb(p[0] & 0xF8, (value >> 3) & 0xFC, (p[1] << 3) & 0xFF);
        }
    }
    return out;
}

} // namespace glimmet
