#pragma once

#include "common/Error.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QImage>

#include <cstdint>

namespace glimmet {

// The clock's side of the market frame formats: opens a "MKT1" envelope, checks its size and
// CRC-32 and unpacks "rgb565-packbits-v1" into a raw 240 x 240 frame; turns RGB565 bytes into
// an image. Pure functions, callable from any thread.
struct PackedFrame {
    std::uint64_t version = 0;
    QByteArray raw; // 115 200 bytes

    static Result<PackedFrame> unpack(QByteArrayView envelope);

    // Opaque image of `width` x `height` big-endian RGB565 pixels; null when too few bytes.
    static QImage image(QByteArrayView rgb565, int width, int height);
};

} // namespace glimmet
