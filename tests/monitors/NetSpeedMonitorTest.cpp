#include "monitors/NetSpeedMonitor.h"
#include "monitors/MonitorFakes.h"
#include "support/FakeClock.h"
#include "support/TempHome.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

struct NetSpeedMonitorTest : testing::Test {
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<FakeNetCounterSource> source = std::make_shared<FakeNetCounterSource>();
    std::shared_ptr<NetSpeedMonitor> monitor = std::make_shared<NetSpeedMonitor>(source, clock);

    void read(double after, std::optional<NetCounters> counters) {
        clock->advance(after);
        source->set(counters);
        monitor->sampleNow();
    }
};

TEST_F(NetSpeedMonitorTest, ReadingsMakeSamplesOnlyWhenUsable) {
    const struct {
        const char* what;
        double after;
        std::optional<NetCounters> counters;
        std::size_t samples;
        double newestRx, newestTx;
    } steps[] = {
        {"first reading is only a base", 0, NetCounters{1000, 500}, 0, 0, 0},
        {"a reading 0.25 s later", 0.25, NetCounters{2000, 1500}, 1, 4000, 4000},
        {"0.1 s later: no sample", 0.1, NetCounters{2100, 1600}, 1, 4000, 4000},
        {"the close reading is the base", 0.25, NetCounters{3100, 1600}, 2, 4000, 0},
        {"received bytes went down", 0.25, NetCounters{100, 1700}, 2, 4000, 0},
        {"after the wrap", 0.25, NetCounters{600, 1800}, 3, 2000, 400},
        {"sent bytes went down", 0.25, NetCounters{700, 10}, 3, 2000, 400},
        {"unreadable interface list", 0.25, std::nullopt, 3, 2000, 400},
        {"rate over the last good reading", 0.25, NetCounters{1700, 510}, 4, 2000, 1000},
    };
    for (const auto& step : steps) {
        read(step.after, step.counters);
        const auto samples = monitor->samples();
        ASSERT_EQ(samples.size(), step.samples) << step.what;
        EXPECT_EQ(samples.empty() ? std::pair(0.0, 0.0) : std::pair(samples.back().rx, samples.back().tx),
                  std::pair(step.newestRx, step.newestTx))
            << step.what;
    }
}

TEST_F(NetSpeedMonitorTest, HistoryAndDocument) {
    // Sample k receives 4k² and sends 4k bytes per second; CPU and memory are given as `load`.
    const struct {
        qint64 samples;
        std::optional<std::int64_t> load;
        qint64 rxBps, txBps; // the mean of the newest four, truncated
    } cases[] = {{0, 37, 0, 0}, {3, {}, 18, 8}, {20, 0, 1374, 74}, {721, {}, 2070726, 2878}};
    NetCounters counters;
    read(0, counters);
    for (const auto& c : cases) {
        for (std::uint64_t k = monitor->totalSamples() + 1; k <= std::uint64_t(c.samples); ++k)
            read(0.25, counters = {counters.rx + k * k, counters.tx + k});
        QJsonArray rx, tx; // the newest twelve
        for (qint64 k = std::max<qint64>(1, c.samples - 11); k <= c.samples; ++k) {
            rx.append(4 * k * k);
            tx.append(4 * k);
        }
        QJsonObject expected{{"rx_bps", c.rxBps},  {"tx_bps", c.txBps}, {"seq", c.samples},
                             {"interval_ms", 250}, {"rx", rx},          {"tx", tx}};
        if (c.load) {
            expected["cpu_pct"] = qint64(*c.load);
            expected["mem_pct"] = qint64(*c.load);
        }
        const QByteArray json = monitor->jsonData(c.load, c.load);
        EXPECT_EQ(QJsonDocument::fromJson(json).object(), expected) << json.constData();
        const auto history = monitor->samples(); // at most the newest 720
        EXPECT_EQ(history.size(), std::min<std::size_t>(c.samples, 720));
        const qint64 oldest = std::max<qint64>(1, c.samples - 719);
        EXPECT_DOUBLE_EQ(history.empty() ? 4 : history.front().rx, 4 * oldest * oldest);
    }
}

TEST(SysfsNetCounterSource, SumsWiredAndWirelessInterfaces) {
    TempHome home;
    // Interface, received and sent bytes: loopback, bridges and unreadable counters do not count.
    for (const char* line : {"eth0 1000 10", "enp3s0 2000 20", "wlan0 40000000000 40", "lo 500 500",
                             "docker0 7 7", "enbad x 1"}) {
        const QStringList field = QString(line).split(' ');
        home.write("net/" + field[0] + "/statistics/rx_bytes", field[1].toUtf8() + '\n');
        home.write("net/" + field[0] + "/statistics/tx_bytes", field[2].toUtf8() + '\n');
    }
    const auto counters = SysfsNetCounterSource(home.path() + "/net").counters();
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->rx, 40000003000u);
    EXPECT_EQ(counters->tx, 70u);
    EXPECT_FALSE(SysfsNetCounterSource(home.path() + "/missing").counters());
}

} // namespace
