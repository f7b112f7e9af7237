#include "monitors/SystemStatsMonitor.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace glimmet {

namespace {

QByteArray readProcFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(256 * 1024);
}

// The lines of a /proc text, without the trailing line feed.
template <class F> void forEachLine(QByteArrayView text, F&& visit) {
    while (!text.isEmpty()) {
        const qsizetype end = text.indexOf('\n');
        if (!visit(end < 0 ? text : text.first(end)))
            return;
        text = end < 0 ? QByteArrayView() : text.sliced(end + 1);
    }
}

std::optional<std::uint64_t> unsignedField(QByteArrayView text) {
    bool ok = false;
    const std::uint64_t value = text.toByteArray().toULongLong(&ok);
    return ok ? std::optional(value) : std::nullopt;
}

} // namespace

SystemStatsMonitor::SystemStatsMonitor(std::shared_ptr<const Clock> clock, QString procRoot)
    : clock(std::move(clock))
    , procRoot(std::move(procRoot))
    , cachedAt(-std::numeric_limits<double>::infinity()) {}

std::shared_ptr<SystemStatsMonitor> SystemStatsMonitor::shared() {
    static const auto instance = std::make_shared<SystemStatsMonitor>();
    return instance;
}

SystemStatsMonitor::Load SystemStatsMonitor::snapshot() {
    {
        std::lock_guard guard(lock);
        const double now = clock->now();
        // A wall clock set backwards must not freeze the figures until it catches up.
        if (computing || std::abs(now - cachedAt) < cacheSeconds)
            return cached;
        computing = true;
        cachedAt = now;
    }
    // The files are read without the lock; callers meanwhile get the previous figures.
    const auto ticks = parseCpuTicks(readProcFile(procRoot + QStringLiteral("/stat")));
    const auto mem = parseMemoryPercent(readProcFile(procRoot + QStringLiteral("/meminfo")));

    std::lock_guard guard(lock);
    computing = false;
    if (ticks) {
        if (lastTicks && ticks->busy >= lastTicks->busy && ticks->idle >= lastTicks->idle) {
            const double busy = double(ticks->busy - lastTicks->busy);
            const double idle = double(ticks->idle - lastTicks->idle);
            if (busy + idle > 0)
                cached.cpu = std::llround(busy / (busy + idle) * 100.0);
        }
        lastTicks = ticks;
    }
    cached.mem = mem.value_or(0);
    return cached;
}

std::optional<SystemStatsMonitor::Ticks> SystemStatsMonitor::parseCpuTicks(QByteArrayView procStat) {
    std::optional<Ticks> result;
    forEachLine(procStat, [&](QByteArrayView line) {
        const QList<QByteArray> fields = line.toByteArray().simplified().split(' ');
        if (fields.value(0) != "cpu")
            return true;
        // user nice system idle [iowait ...]; kernels before 2.5.41 stop after idle.
        std::array<std::uint64_t, 5> values{};
        const qsizetype count = std::min<qsizetype>(fields.size() - 1, qsizetype(values.size()));
        if (count < 4)
            return false;
        for (qsizetype i = 0; i < count; ++i) {
            const auto value = unsignedField(fields[i + 1]);
            if (!value)
                return false;
            values[std::size_t(i)] = *value;
        }
        result = Ticks{values[0] + values[1] + values[2], values[3] + values[4]};
        return false;
    });
    return result;
}

std::optional<std::int64_t> SystemStatsMonitor::parseMemoryPercent(QByteArrayView meminfo) {
    std::optional<std::uint64_t> total;
    std::optional<std::uint64_t> available;
    forEachLine(meminfo, [&](QByteArrayView line) {
        const QList<QByteArray> fields = line.toByteArray().simplified().split(' ');
        if (fields.size() >= 2 && fields[0] == "MemTotal:")
            total = unsignedField(fields[1]);
        else if (fields.size() >= 2 && fields[0] == "MemAvailable:")
            available = unsignedField(fields[1]);
        return !(total && available);
    });
    if (!total || !available || *total == 0)
        return std::nullopt;
    const double used = double(*total) - double(std::min(*available, *total));
    return std::llround(used / double(*total) * 100.0);
}

} // namespace glimmet
