#pragma once

#include "support/Wait.h"

#include "monitors/NetCounterSource.h"
#include "monitors/NowPlayingSource.h"

#include <QBuffer>
#include <QImage>

#include <atomic>
#include <mutex>

namespace glimmet::test {

// Counters that a test sets (while the monitor does not sample on its own).
struct FakeNetCounterSource final : NetCounterSource {
    std::optional<NetCounters> next = NetCounters{};
    std::atomic<int> reads = 0;
    std::optional<NetCounters> counters() override { return ++reads, next; }
    void set(std::optional<NetCounters> value) { next = value; }
};

// Answers probes with `next` (set it while no probe runs); a test holds probes by locking `gate`.
struct FakeNowPlayingSource final : NowPlayingSource {
    std::optional<NowPlayingInfo> next = NowPlayingInfo{};
    std::atomic<int> probes = 0;
    std::mutex gate;
    std::optional<NowPlayingInfo> probe() override {
        ++probes;
        std::lock_guard guard(gate);
        return next;
    }
};

inline QByteArray png(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace glimmet::test
