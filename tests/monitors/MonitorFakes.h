#pragma once

#include "monitors/NetCounterSource.h"
#include "monitors/NowPlayingSource.h"

#include <QBuffer>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QImage>
#include <QTimer>

#include <condition_variable>
#include <mutex>

namespace glimmet::test {

// Counters that a test sets; counts how often they were read.
class FakeNetCounterSource final : public NetCounterSource {
public:
    std::optional<NetCounters> counters() override {
        std::lock_guard guard(lock);
        ++reads;
        return next;
    }
    void set(std::optional<NetCounters> value) {
        std::lock_guard guard(lock);
        next = value;
    }
    int readCount() {
        std::lock_guard guard(lock);
        return reads;
    }

private:
    std::mutex lock;
    std::optional<NetCounters> next = NetCounters{};
    int reads = 0;
};

// Answers probes with what the test sets; a test can hold a probe until it releases it.
class FakeNowPlayingSource final : public NowPlayingSource {
public:
    std::optional<NowPlayingInfo> probe() override {
        std::unique_lock guard(lock);
        ++probes;
        changed.notify_all();
        changed.wait(guard, [this] { return !held; });
        return next;
    }
    void set(std::optional<NowPlayingInfo> value) {
        std::lock_guard guard(lock);
        next = std::move(value);
    }
    void hold() {
        std::lock_guard guard(lock);
        held = true;
    }
    void release() {
        {
            std::lock_guard guard(lock);
            held = false;
        }
        changed.notify_all();
    }
    int probeCount() {
        std::lock_guard guard(lock);
        return probes;
    }

private:
    std::mutex lock;
    std::condition_variable changed;
    std::optional<NowPlayingInfo> next = NowPlayingInfo{};
    bool held = false;
    int probes = 0;
};

inline QByteArray png(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Runs the main thread's event loop until `done` holds; false when the generous deadline passes.
template <class F> bool waitUntil(F&& done, int timeoutMs = 10000) {
    const QDeadlineTimer deadline(timeoutMs);
    QEventLoop loop;
    QTimer check;
    check.setInterval(10);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || deadline.hasExpired())
            loop.quit();
    });
    check.start();
    if (!done())
        loop.exec();
    return done();
}

} // namespace glimmet::test
