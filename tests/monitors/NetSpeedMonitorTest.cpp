#include "monitors/NetSpeedMonitor.h"
#include "monitors/MonitorFakes.h"
#include "support/FakeClock.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <tuple>

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

TEST_F(NetSpeedMonitorTest, SamplesWhileReadAndAfreshAfterAPause) {
    read(0, NetCounters{0, 0});
    read(0.25, NetCounters{1000, 0});
    monitor->start();
    EXPECT_FALSE(monitor->sampling()) << "nothing read yet";
    clock->advance(100);
    source->set(NetCounters{5000, 0});
    EXPECT_EQ(monitor->jsonData(std::nullopt, std::nullopt),
              R"({"interval_ms":250,"rx":[],"rx_bps":0,"seq":1,"tx":[],"tx_bps":0})")
        << "a rate from before the pause is not current";
    ASSERT_TRUE(waitUntil([&] { return source->reads >= 4; })) << "a reading at once, then every 250 ms";
    EXPECT_EQ(monitor->totalSamples(), 1) << "the first reading after the pause is a new base";
    clock->advance(NetSpeedMonitor::readLinger + 1);
    ASSERT_TRUE(waitUntil([&] { return !monitor->sampling(); }));
    monitor->samples();
    EXPECT_TRUE(waitUntil([&] { return monitor->sampling(); }));
}

TEST(ProcNetCounterSource, SumsWiredAndWirelessInterfacesAtEachRead) {
    TempHome home;
    const auto table = [](const char* eth0) {
        // Loopback, bridges and counters that do not read do not count.
        return QByteArray(
                   "Inter-|   Receive                            |  Transmit\n"
                   " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets\n"
                   "    lo:     500 5 0 0 0 0 0 0      500 5 0 0 0 0 0 0\n"
                   "  eth0: ") +
               eth0 +
               "\n"
               "enp3s0:    2000 2 0 0 0 0 0 0       20 2 0 0 0 0 0 0\n"
               " wlan0: 40000000000 9 0 0 0 0 0 0 40 1 0 0 0 0 0 0\n"
               "docker0: 7 1 0 0 0 0 0 0 7 1 0 0 0 0 0 0\n"
               " enbad: x 1 0 0 0 0 0 0 1 1 0 0 0 0 0 0\n";
    };
    const QString path = home.write("dev", table("1000 1 0 0 0 0 0 0 10 1 0 0 0 0 0 0"));
    ProcNetCounterSource source(path);
    for (const auto& [eth0, rx, tx] :
         {std::tuple{"1000 1 0 0 0 0 0 0 10 1 0 0 0 0 0 0", 40000003000u, 70u},
          std::tuple{"1500 1 0 0 0 0 0 0 11 1 0 0 0 0 0 0", 40000003500u, 71u}}) {
        home.write("dev", table(eth0));
        const auto counters = source.counters();
        ASSERT_TRUE(counters);
        EXPECT_EQ(counters->rx, rx);
        EXPECT_EQ(counters->tx, tx);
    }
    EXPECT_FALSE(ProcNetCounterSource(home.path() + "/missing").counters());
}

} // namespace
