#pragma once

#include "common/Clock.h"
#include "monitors/NetCounterSource.h"

#include <QByteArray>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class QTimer;

namespace glimmet {

// Samples the network byte counters four times a second and keeps three minutes of download
// and upload rates for the clock's network screen. Readings run on the main thread; the
// history is read from any thread. Owned by the app through a std::shared_ptr.
class NetSpeedMonitor : public std::enable_shared_from_this<NetSpeedMonitor> {
public:
    struct Sample {
        double rx = 0; // bytes per second received
        double tx = 0; // bytes per second sent
    };

    static constexpr std::size_t capacity = 720;
    static constexpr int intervalMs = 250;
    static constexpr std::size_t smoothingWindow = 4;
    static constexpr std::size_t documentSamples = 12;

    NetSpeedMonitor(std::shared_ptr<NetCounterSource> source,
                    std::shared_ptr<const Clock> clock = Clock::system());
    ~NetSpeedMonitor();

    // Takes one reading now, then one every 250 ms on the calling (main) thread.
    void start();

    // One reading: a sample of the rates since the previous reading, when that is usable.
    void sampleNow();

    // The mean of the last four samples (of all when fewer; zero when none).
    Sample currentSmoothed() const;
    std::vector<Sample> samples() const;
    std::int64_t totalSamples() const;

    // The network document, with the CPU and memory percentages when given.
    QByteArray jsonData(std::optional<std::int64_t> cpu, std::optional<std::int64_t> mem) const;

private:
    const std::shared_ptr<NetCounterSource> source;
    const std::shared_ptr<const Clock> clock;

    mutable std::mutex lock;
    std::deque<Sample> _samples;
    std::int64_t _totalSamples = 0;

    // The previous reading; touched only by sampleNow().
    std::optional<NetCounters> last;
    std::optional<double> lastAt;
    std::unique_ptr<QTimer> timer;
};

} // namespace glimmet
