// The packed market frame: a frame built from the input packs into well-formed packets that
// unpack to the same frame, inside an envelope whose header matches.
#include "market/MarketFrameCodec.h"
#include "tools/fuzz/FuzzInput.h"

#include <QtEndian>

using namespace glimmet;

namespace {

// The clock's side of the packets; aborts on a packet the packer must never write.
QByteArray unpack(const QByteArray& packed) {
    QByteArray out;
    qsizetype i = 0;
    QByteArray previous; // the last pixel of the previous literal
    while (i < packed.size()) {
        const auto header = uint8_t(packed[i++]);
        if (header >= 0x80) {
            const int count = (header & 0x7F) + 1;
            if (count < 2 || i + 2 > packed.size())
                std::abort();
            for (int n = 0; n < count; ++n)
                out.append(packed.constData() + i, 2);
            i += 2;
        } else {
            const int count = header + 1;
            if (i + 2 * count > packed.size())
                std::abort();
            for (int n = 1; n < count; ++n) {
                if (std::memcmp(packed.constData() + i + 2 * n, packed.constData() + i + 2 * (n - 1), 2) == 0)
                    std::abort(); // equal neighbours belong in a run
            }
            out.append(packed.constData() + i, 2 * count);
            i += 2 * count;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // The input as (run length, pixel high byte, pixel low byte) triples, repeated to fill a frame.
    QByteArray frame;
    frame.reserve(MarketFrameCodec::rawFrameBytes);
    for (size_t i = 0; frame.size() < MarketFrameCodec::rawFrameBytes; i += 3) {
        const int run = data[i % size] % 160 + 1;
        const char pixel[2] = {char(data[(i + 1) % size]), char(data[(i + 2) % size])};
        for (int n = 0; n < run && frame.size() < MarketFrameCodec::rawFrameBytes; ++n)
            frame.append(pixel, 2);
    }
    const QByteArray packed = MarketFrameCodec::packRGB565(frame);
    if (unpack(packed) != frame)
        std::abort();
    const QByteArray envelope = MarketFrameCodec::envelope(packed, 7);
    if (!envelope.startsWith("MKT1") || envelope.mid(MarketFrameCodec::envelopeHeaderBytes) != packed ||
        qFromBigEndian<quint32>(envelope.constData() + 16) != MarketFrameCodec::crc32(packed))
        std::abort();
    if (!MarketFrameCodec::packRGB565(frame.left(frame.size() - 1)).isEmpty())
        std::abort();
    return 0;
}
