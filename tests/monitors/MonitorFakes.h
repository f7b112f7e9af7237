#pragma once

#include "monitors/NetCounterSource.h"
#include "monitors/NowPlayingSource.h"

#include <QBuffer>
#include <QImage>

namespace glimmet::test {

// Counters that a test sets; read on the main thread, like the real source.
struct FakeNetCounterSource final : NetCounterSource {
    std::optional<NetCounters> next = NetCounters{};
    std::optional<NetCounters> counters() override { return next; }
    void set(std::optional<NetCounters> value) { next = value; }
};

// A player that plays nothing; tests feed the monitor through apply().
struct FakeNowPlayingSource final : NowPlayingSource {
    std::optional<NowPlayingInfo> probe() override { return NowPlayingInfo{}; }
};

inline QByteArray png(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace glimmet::test
