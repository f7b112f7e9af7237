#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>

namespace glimmet {

// The binary forms of a market frame on its way to the clock: the raw 240 x 240 RGB565 frame,
// its run-length packed form "rgb565-packbits-v1" and the "MKT1" envelope around a packed
// frame. Pure functions, callable from any thread.
struct MarketFrameCodec {
    static constexpr int width = 240;
    static constexpr int height = 240;
    static constexpr int pixelCount = width * height;    // 57 600
    static constexpr int rawFrameBytes = pixelCount * 2; // 115 200
    static constexpr int envelopeHeaderBytes = 20;

    // Packets of whole 2-byte pixels: a header h >= 0x80 repeats the next pixel (h & 0x7F) + 1
    // times (2 to 128); h < 0x80 is followed by h + 1 literal pixels with no two equal
    // neighbours. Empty unless `frame` is exactly one raw frame.
    static QByteArray packRGB565(QByteArrayView frame);

    // The zlib/PNG CRC-32.
    static std::uint32_t crc32(QByteArrayView bytes);

    // "MKT1", the version (8 bytes), width and height (2 bytes each) and the CRC-32 of
    // `packed` (4 bytes), all big-endian, then `packed`. Empty when `packed` is empty.
    static QByteArray envelope(QByteArrayView packed, std::uint64_t version);
};

} // namespace glimmet
