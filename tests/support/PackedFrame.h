#pragma once

#include <QByteArray>

namespace glimmet::test {

// The clock's reader of a packed frame: a header byte, then one pixel to repeat or a run of
// literal pixels.
inline QByteArray unpack(const QByteArray& packed) {
    QByteArray frame;
    for (qsizetype at = 0; at < packed.size();) {
        const auto header = quint8(packed[at++]);
        const int count = (header & 0x7F) + 1;
        frame += header >= 0x80 ? packed.mid(at, 2).repeated(count) : packed.mid(at, 2 * count);
        at += header >= 0x80 ? 2 : 2 * count;
    }
    return frame;
}

} // namespace glimmet::test
