#include "market/MarketFrameCodec.h"

#include <QtEndian>

#include <zlib.h>

#include <cstring>

namespace glimmet {

QByteArray MarketFrameCodec::packRGB565(QByteArrayView frame) {
    if (frame.size() != rawFrameBytes)
        return {};
    const char* bytes = frame.data();
    const auto pixel = [bytes](int i) { return qFromBigEndian<quint16>(bytes + 2 * i); };
    constexpr int maxPacket = 128;

    QByteArray packed;
    packed.reserve(rawFrameBytes / 4);
    int i = 0;
    while (i < pixelCount) {
        int run = 1;
        while (run < maxPacket && i + run < pixelCount && pixel(i + run) == pixel(i))
            ++run;
        if (run >= 2) {
            packed.append(char(0x80 | (run - 1)));
            packed.append(bytes + 2 * i, 2);
            i += run;
            continue;
        }
        // A literal ends where a run of two or more begins.
        int end = i + 1;
        while (end < pixelCount && end - i < maxPacket &&
               !(end + 1 < pixelCount && pixel(end) == pixel(end + 1)))
            ++end;
        packed.append(char(end - i - 1));
        packed.append(bytes + 2 * i, 2 * (end - i));
        i = end;
    }
    return packed;
}

std::uint32_t MarketFrameCodec::crc32(QByteArrayView bytes) {
    return std::uint32_t(::crc32_z(::crc32_z(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()),
                                   size_t(bytes.size())));
}

QByteArray MarketFrameCodec::envelope(QByteArrayView packed, std::uint64_t version) {
    if (packed.isEmpty())
        return {};
    QByteArray out(envelopeHeaderBytes, Qt::Uninitialized);
    char* header = out.data();
    std::memcpy(header, "MKT1", 4);
    qToBigEndian<quint64>(version, header + 4);
    qToBigEndian<quint16>(width, header + 12);
    qToBigEndian<quint16>(height, header + 14);
    qToBigEndian<quint32>(crc32(packed), header + 16);
    out.append(packed);
    return out;
}

} // namespace glimmet
