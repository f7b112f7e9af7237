#include "monitors/NetSpeedMonitor.h"

#include "common/Json.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <iterator>
#include <pthread.h>

namespace glimmet {

namespace {

// Readings closer together than this give too noisy a rate; the later one becomes the base.
constexpr double minimumInterval = 0.2;

NetSpeedMonitor::Sample meanOf(auto first, auto last) {
    NetSpeedMonitor::Sample mean;
    const auto count = std::distance(first, last);
    if (count == 0)
        return mean;
    for (auto it = first; it != last; ++it) {
        mean.rx += it->rx;
        mean.tx += it->tx;
    }
    mean.rx /= double(count);
    mean.tx /= double(count);
    return mean;
}

qint64 truncated(double rate) {
    return truncatedInteger(rate).value_or(0);
}

} // namespace

NetSpeedMonitor::NetSpeedMonitor(std::shared_ptr<NetCounterSource> source, std::shared_ptr<const Clock> clock)
    : source(std::move(source))
    , clock(std::move(clock)) {}

NetSpeedMonitor::~NetSpeedMonitor() {
    {
        std::lock_guard guard(sleepLock);
        stopping = true;
    }
    wake.notify_one();
    if (sampler.joinable())
        sampler.join();
}

void NetSpeedMonitor::start() {
    if (started.exchange(true))
        return;
    sampler = std::thread([this] { run(); });
}

void NetSpeedMonitor::noteRead() {
    if (!started || !demand.read(clock->now()))
        return;
    {
        std::lock_guard guard(lock);
        _samples.clear();
    }
    {
        std::lock_guard guard(sleepLock);
        woken = true;
    }
    wake.notify_one();
}

void NetSpeedMonitor::run() {
    ::pthread_setname_np(::pthread_self(), "glimmet.netsamp");
    const auto interval = std::chrono::milliseconds(intervalMs);
    std::unique_lock guard(sleepLock);
    for (;;) {
        wake.wait(guard, [this] { return woken || stopping; });
        if (stopping)
            return;
        woken = false;
        active = true;
        lastAt.reset(); // the first reading after a pause is a new base, as at the start
        auto next = std::chrono::steady_clock::now();
        do {
            guard.unlock();
            sampleNow();
            guard.lock();
            // A thread held up for longer (a suspended machine) goes on from now.
            next = std::max(next + interval, std::chrono::steady_clock::now());
            if (wake.wait_until(guard, next, [this] { return stopping; }))
                return;
        } while (demand.wanted(clock->now()));
        active = false;
    }
}

void NetSpeedMonitor::sampleNow() {
    const auto reading = source->counters();
    const double now = clock->now();
    // An unreadable interface list is skipped: treating it as zero would turn the next good
    // reading into one enormous sample.
    if (!reading)
        return;
    const auto previous = last;
    const auto previousAt = lastAt;
    last = reading;
    lastAt = now;
    if (!previous || !previousAt)
        return;
    const double dt = now - *previousAt;
    if (dt <= minimumInterval)
        return;
    // A counter that went down wrapped or lost an interface: no rate for this step.
    if (reading->rx < previous->rx || reading->tx < previous->tx)
        return;
    const Sample sample{double(reading->rx - previous->rx) / dt, double(reading->tx - previous->tx) / dt};
    std::lock_guard guard(lock);
    _samples.push_back(sample);
    ++_totalSamples;
    while (_samples.size() > capacity)
        _samples.pop_front();
}

NetSpeedMonitor::Sample NetSpeedMonitor::currentSmoothed() {
    noteRead();
    std::lock_guard guard(lock);
    const std::size_t count = std::min(_samples.size(), smoothingWindow);
    return meanOf(_samples.end() - std::ptrdiff_t(count), _samples.end());
}

std::vector<NetSpeedMonitor::Sample> NetSpeedMonitor::samples() {
    noteRead();
    std::lock_guard guard(lock);
    return {_samples.begin(), _samples.end()};
}

std::int64_t NetSpeedMonitor::totalSamples() const {
    std::lock_guard guard(lock);
    return _totalSamples;
}

QByteArray NetSpeedMonitor::jsonData(std::optional<std::int64_t> cpu, std::optional<std::int64_t> mem) {
    noteRead();
    std::vector<Sample> recent;
    std::int64_t seq = 0;
    {
        std::lock_guard guard(lock);
        const std::size_t count = std::min(_samples.size(), documentSamples);
        recent.assign(_samples.end() - std::ptrdiff_t(count), _samples.end());
        seq = _totalSamples;
    }
    const std::size_t smoothed = std::min(recent.size(), smoothingWindow);
    const Sample mean = meanOf(recent.end() - std::ptrdiff_t(smoothed), recent.end());
    QJsonArray rx;
    QJsonArray tx;
    for (const Sample& sample : recent) {
        rx.append(truncated(sample.rx));
        tx.append(truncated(sample.tx));
    }
    QJsonObject document{
        {QStringLiteral("rx_bps"), truncated(mean.rx)},
        {QStringLiteral("tx_bps"), truncated(mean.tx)},
        {QStringLiteral("seq"), qint64(seq)},
        {QStringLiteral("interval_ms"), intervalMs},
        {QStringLiteral("rx"), rx},
        {QStringLiteral("tx"), tx},
    };
    if (cpu)
        document.insert(QStringLiteral("cpu_pct"), qint64(*cpu));
    if (mem)
        document.insert(QStringLiteral("mem_pct"), qint64(*mem));
    return QJsonDocument(document).toJson(QJsonDocument::Compact);
}

} // namespace glimmet
