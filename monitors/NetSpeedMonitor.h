#pragma once

#include "common/Clock.h"
#include "common/Demand.h"
#include "monitors/NetCounterSource.h"

#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace glimmet {

// Samples the network byte counters four times a second while someone reads the rates, and
// keeps three minutes of download and upload rates for the clock's network screen. Readings
// run on a thread of its own ("glimmet.netsamp": a plain thread, so that each costs no
// more than the read it does), asleep while nothing reads; the history is read from any
// thread. Owned by the app through a std::shared_ptr.
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
    // Sampling goes on for this long after the last read of the rates.
    static constexpr double readLinger = 10;

    NetSpeedMonitor(std::shared_ptr<NetCounterSource> source,
                    std::shared_ptr<const Clock> clock = Clock::system());
    ~NetSpeedMonitor();

    // From now on the rates are sampled while they are read: the first read (of the document,
    // the history or the smoothed rates) starts a reading every 250 ms, which stops when
    // nothing was read for `readLinger` seconds. A read that wakes the sampler finds the
    // history empty, as after a start: rates from before the pause would not be current.
    void start();
    bool sampling() const { return active; }

    // One reading: a sample of the rates since the previous reading, when that is usable.
    void sampleNow();

    // The mean of the last four samples (of all when fewer; zero when none).
    Sample currentSmoothed();
    std::vector<Sample> samples();
    std::int64_t totalSamples() const;

    // The network document, with the CPU and memory percentages when given.
    QByteArray jsonData(std::optional<std::int64_t> cpu, std::optional<std::int64_t> mem);

private:
    void noteRead();
    void run();

    const std::shared_ptr<NetCounterSource> source;
    const std::shared_ptr<const Clock> clock;

    mutable std::mutex lock;
    std::deque<Sample> _samples;
    std::int64_t _totalSamples = 0;

    // The previous reading; touched only by sampleNow().
    std::optional<NetCounters> last;
    std::optional<double> lastAt;

    Demand demand{readLinger};
    std::thread sampler;
    std::atomic<bool> started{false};
    std::atomic<bool> active{false};
    std::mutex sleepLock; // guards the two flags below
    std::condition_variable wake;
    bool woken = false;
    bool stopping = false;
};

} // namespace glimmet
