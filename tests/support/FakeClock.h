#pragma once

#include "common/Clock.h"

#include <atomic>

namespace glimmet::test {

// A clock that moves only when a test moves it.
class FakeClock final : public Clock {
public:
    explicit FakeClock(double now = 1'780'000'000.0, QTimeZone zone = QTimeZone("Asia/Shanghai"))
        : _now(now)
        , zone(std::move(zone)) {}

    double now() const override { return _now.load(); }
    QTimeZone timeZone() const override { return zone; }

    void set(double now) { _now.store(now); }
    void advance(double seconds) { _now.store(_now.load() + seconds); }

private:
    std::atomic<double> _now;
    QTimeZone zone;
};

} // namespace glimmet::test
