#pragma once

#include "common/Clock.h"

#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace glimmet {

// CPU load and memory use as whole percentages, recomputed at most once a second from
// /proc/stat and /proc/meminfo. Callable from any thread; one process-wide shared instance.
class SystemStatsMonitor {
public:
    struct Load {
        std::int64_t cpu = 0;
        std::int64_t mem = 0;
        bool operator==(const Load&) const = default;
    };

    // Cumulative CPU ticks: busy = user + nice + system, idle = idle + iowait.
    struct Ticks {
        std::uint64_t busy = 0;
        std::uint64_t idle = 0;
    };

    static constexpr double cacheSeconds = 1.0;

    explicit SystemStatsMonitor(std::shared_ptr<const Clock> clock = Clock::system(),
                                QString procRoot = QStringLiteral("/proc"));

    static std::shared_ptr<SystemStatsMonitor> shared();

    // The current load; the CPU figure covers the time since the previous computation, so
    // the first one reports 0.
    Load snapshot();

    // The aggregate "cpu" line of /proc/stat.
    static std::optional<Ticks> parseCpuTicks(QByteArrayView procStat);
    // Used memory (MemTotal - MemAvailable) as a rounded percentage of MemTotal.
    static std::optional<std::int64_t> parseMemoryPercent(QByteArrayView meminfo);

private:
    const std::shared_ptr<const Clock> clock;
    const QString procRoot;

    std::mutex lock;
    std::optional<Ticks> lastTicks;
    Load cached;
    double cachedAt;
    bool computing = false;
};

} // namespace glimmet
