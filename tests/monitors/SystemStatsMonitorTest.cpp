#include "monitors/SystemStatsMonitor.h"
#include "support/FakeClock.h"
#include "support/TempHome.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

TEST(SystemStatsMonitor, ParsesProcText) {
    using Ticks = std::optional<std::pair<std::uint64_t, std::uint64_t>>; // busy, idle
    const std::pair<const char*, Ticks> stats[] = {
        {"cpu  100 20 30 400 50 6 7 8 0 0\ncpu0 1 2 3 4 5 6 7 8 0 0\n", {{150, 450}}},
        {"cpu0 1 2 3 4 5\ncpu 10 20 30 40 50", {{60, 90}}}, // after a core, no line feed
        {"cpu 1 2 3 4\n", {{6, 4}}},                        // old kernels have no iowait
        {"cpu 1 2 3\n", {}},
        {"cpu 1 -2 3 4 5\n", {}},
        {"cpu0 1 2 3 4 5\nintr 5\n", {}},
    };
    for (const auto& [text, expected] : stats) {
        const auto ticks = SystemStatsMonitor::parseCpuTicks(text);
        EXPECT_EQ(ticks ? Ticks({ticks->busy, ticks->idle}) : Ticks(), expected) << text;
    }
    const std::pair<const char*, std::optional<std::int64_t>> meminfos[] = {
        {"MemTotal:       16000000 kB\nMemFree:  1000 kB\nMemAvailable:   12000000 kB\n", 25},
        {"MemAvailable: 334 kB\nMemTotal: 1000 kB\n", 67}, // rounded
        {"MemTotal: 10 kB\nMemAvailable: 20 kB\n", 0},
        {"MemTotal: 10 kB\nMemFree: 5 kB\n", {}},
        {"MemTotal: 0 kB\nMemAvailable: 0 kB\n", {}},
        {"MemTotal: lots\nMemAvailable: 5 kB\n", {}},
    };
    for (const auto& [text, percent] : meminfos)
        EXPECT_EQ(SystemStatsMonitor::parseMemoryPercent(text), percent) << text;
}

TEST(SystemStatsMonitor, ComputesAtMostOnceASecond) {
    TempHome proc;
    const auto clock = std::make_shared<FakeClock>();
    SystemStatsMonitor monitor{clock, proc.path()};
    const struct {
        const char* what;
        int busy, idle;
        std::optional<int> available; // kB of 100; none: no meminfo
        double after;
        SystemStatsMonitor::Load load;
    } steps[] = {
        {"the first CPU figure needs two readings", 1000, 3000, 60, 0, {0, 40}},
        {"cached within the second", 1300, 3100, 10, 0.99, {0, 40}},
        {"recomputed after it", 1300, 3100, 10, 0.01, {75, 90}},
        {"no ticks passed: CPU stays; no meminfo: 0", 1300, 3100, {}, 1, {75, 0}},
        {"a wall clock set back recomputes", 1400, 3400, 50, -3600, {25, 50}},
        {"ticks that went back give no figure", 10, 10, 50, 1, {25, 50}},
        {"but become the base", 30, 20, 50, 1, {67, 50}},
    };
    for (const auto& step : steps) {
        proc.write("stat", QString("cpu %1 0 0 %2 0\n").arg(step.busy).arg(step.idle).toUtf8());
        QFile::remove(proc.path() + "/meminfo");
        if (step.available)
            proc.write("meminfo", "MemTotal: 100 kB\nMemAvailable: " + QByteArray::number(*step.available));
        clock->advance(step.after);
        EXPECT_EQ(monitor.snapshot(), step.load) << step.what;
    }
}

} // namespace
