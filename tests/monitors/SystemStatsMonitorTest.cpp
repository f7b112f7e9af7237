#include "monitors/SystemStatsMonitor.h"
#include "support/FakeClock.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

TEST(SystemStatsMonitor, ParsesCpuTicks) {
    const struct {
        const char* what;
        const char* text;
        std::optional<std::pair<std::uint64_t, std::uint64_t>> ticks; // busy, idle
    } cases[] = {
        {"current kernel", "cpu  100 20 30 400 50 6 7 8 0 0\ncpu0 1 2 3 4 5 6 7 8 0 0\n", {{150, 450}}},
        {"aggregate after per-core lines", "cpu0 1 2 3 4 5\ncpu 10 20 30 40 50\n", {{60, 90}}},
        {"old kernel without iowait", "cpu 1 2 3 4\n", {{6, 4}}},
        {"no line feed at the end", "cpu 1 2 3 4 5", {{6, 9}}},
        {"too few fields", "cpu 1 2 3\n", std::nullopt},
        {"not a number", "cpu 1 x 3 4 5\n", std::nullopt},
        {"negative", "cpu 1 -2 3 4 5\n", std::nullopt},
        {"no aggregate line", "cpu0 1 2 3 4 5\nintr 5\n", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto ticks = SystemStatsMonitor::parseCpuTicks(c.text);
        ASSERT_EQ(ticks.has_value(), c.ticks.has_value()) << c.what;
        if (ticks) {
            EXPECT_EQ(ticks->busy, c.ticks->first) << c.what;
            EXPECT_EQ(ticks->idle, c.ticks->second) << c.what;
        }
    }
}

TEST(SystemStatsMonitor, ParsesMemoryUse) {
    const struct {
        const char* what;
        const char* text;
        std::optional<std::int64_t> percent;
    } cases[] = {
        {"typical", "MemTotal:       16000000 kB\nMemFree:  1000 kB\nMemAvailable:   12000000 kB\n", 25},
        {"rounded", "MemTotal: 1000 kB\nMemAvailable: 334 kB\n", 67},
        {"order does not matter", "MemAvailable: 0 kB\nMemTotal: 8 kB\n", 100},
        {"more available than total", "MemTotal: 10 kB\nMemAvailable: 20 kB\n", 0},
        {"no MemAvailable", "MemTotal: 10 kB\nMemFree: 5 kB\n", std::nullopt},
        {"zero total", "MemTotal: 0 kB\nMemAvailable: 0 kB\n", std::nullopt},
        {"garbage", "MemTotal: lots\nMemAvailable: 5 kB\n", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SystemStatsMonitor::parseMemoryPercent(c.text), c.percent) << c.what;
}

class SystemStatsSnapshotTest : public testing::Test {
protected:
    QTemporaryDir proc;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    SystemStatsMonitor monitor{clock, proc.path()};

    void write(const char* name, const QByteArray& text) {
        QFile file(proc.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
    void setTicks(int busy, int idle) {
        write("stat", "cpu " + QByteArray::number(busy) + " 0 0 " + QByteArray::number(idle) + " 0\n");
    }
    void setMemory(int availablePercent) {
        write("meminfo", "MemTotal: 100 kB\nMemAvailable: " + QByteArray::number(availablePercent) + " kB\n");
    }
};

TEST_F(SystemStatsSnapshotTest, ComputesAtMostOnceASecond) {
    using Load = SystemStatsMonitor::Load;
    setTicks(1000, 3000);
    setMemory(60);
    EXPECT_EQ(monitor.snapshot(), (Load{0, 40})) << "the first CPU figure needs two readings";

    setTicks(1300, 3100);
    setMemory(10);
    clock->advance(0.99);
    EXPECT_EQ(monitor.snapshot(), (Load{0, 40})) << "cached within the second";

    clock->advance(0.01);
    EXPECT_EQ(monitor.snapshot(), (Load{75, 90}));

    // No ticks passed: the CPU figure stays; an unreadable meminfo reports 0.
    QFile::remove(proc.filePath("meminfo"));
    clock->advance(1);
    EXPECT_EQ(monitor.snapshot(), (Load{75, 0}));

    // A wall clock set back an hour recomputes instead of serving the old pair for an hour.
    setTicks(1400, 3400);
    setMemory(50);
    clock->advance(-3600);
    EXPECT_EQ(monitor.snapshot(), (Load{25, 50}));

    // Ticks that went backwards give no figure but become the new base.
    setTicks(10, 10);
    clock->advance(1);
    EXPECT_EQ(monitor.snapshot(), (Load{25, 50}));
    setTicks(30, 20);
    clock->advance(1);
    EXPECT_EQ(monitor.snapshot(), (Load{67, 50}));
}

TEST(SystemStatsMonitorShared, ReadsThisMachine) {
    const auto load = SystemStatsMonitor::shared()->snapshot();
    EXPECT_GT(load.mem, 0);
    EXPECT_LE(load.mem, 100);
    EXPECT_EQ(SystemStatsMonitor::shared(), SystemStatsMonitor::shared());
}

} // namespace
