#pragma once

#include <atomic>
#include <limits>

namespace glimmet {

// Whether anyone still reads what a sampler keeps fresh, for a sampler that runs only while it
// is read: every read notes itself, and the sampler's timer asks at each tick whether to go on.
// A read that finds the sampler asleep is told to wake it; the sampler sleeps at the first
// tick that comes more than `linger` seconds after the last read. Lock-free; reads come from
// any thread, ticks from the sampler's own.
class Demand {
public:
    explicit Demand(double linger)
        : linger(linger) {}

    // A read at `now`. True when the sampler sleeps: the caller wakes it.
    bool read(double now);
    // A tick at `now`. False when nothing was read for `linger` seconds: the sampler stops, and
    // the next read wakes it.
    bool wanted(double now);

    const double linger;

private:
    std::atomic<double> lastRead{-std::numeric_limits<double>::infinity()};
    std::atomic<bool> awake{false};
};

} // namespace glimmet
