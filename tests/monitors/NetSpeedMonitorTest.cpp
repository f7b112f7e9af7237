#include "monitors/NetSpeedMonitor.h"
#include "monitors/MonitorFakes.h"
#include "support/FakeClock.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

class NetSpeedMonitorTest : public testing::Test {
protected:
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<FakeNetCounterSource> source = std::make_shared<FakeNetCounterSource>();
    std::shared_ptr<NetSpeedMonitor> monitor = std::make_shared<NetSpeedMonitor>(source, clock);

    void read(double after, std::optional<NetCounters> counters) {
        clock->advance(after);
        source->set(counters);
        monitor->sampleNow();
    }
    // Readings 0.25 s apart whose received bytes grow by the given steps (sent bytes by a tenth).
    void readSteps(std::initializer_list<std::uint64_t> steps) {
        NetCounters counters{1'000'000, 1'000'000};
        read(0, counters);
        for (const std::uint64_t step : steps) {
            counters.rx += step;
            counters.tx += step / 10;
            read(0.25, counters);
        }
    }
    QJsonObject document(std::optional<std::int64_t> cpu = {}, std::optional<std::int64_t> mem = {}) {
        return QJsonDocument::fromJson(monitor->jsonData(cpu, mem)).object();
    }
};

TEST_F(NetSpeedMonitorTest, ReadingsMakeSamplesOnlyWhenUsable) {
    const struct {
        const char* what;
        double after;
        std::optional<NetCounters> counters;
        std::size_t samples;
        NetSpeedMonitor::Sample newest;
    } steps[] = {
        {"first reading is only a base", 0, NetCounters{1000, 500}, 0, {}},
        {"a reading 0.25 s later", 0.25, NetCounters{2000, 1500}, 1, {4000, 4000}},
        {"0.1 s later: no sample", 0.1, NetCounters{2100, 1600}, 1, {4000, 4000}},
        {"the close reading is the base", 0.25, NetCounters{3100, 1600}, 2, {4000, 0}},
        {"received bytes went down", 0.25, NetCounters{100, 1700}, 2, {4000, 0}},
        {"after the wrap", 0.25, NetCounters{600, 1800}, 3, {2000, 400}},
        {"sent bytes went down", 0.25, NetCounters{700, 10}, 3, {2000, 400}},
        {"unreadable interface list", 0.25, std::nullopt, 3, {2000, 400}},
        {"rate over the last good reading", 0.25, NetCounters{1700, 510}, 4, {2000, 1000}},
    };
    for (const auto& step : steps) {
        read(step.after, step.counters);
        const auto samples = monitor->samples();
        ASSERT_EQ(samples.size(), step.samples) << step.what;
        EXPECT_EQ(monitor->totalSamples(), std::int64_t(step.samples)) << step.what;
        if (!samples.empty()) {
            EXPECT_DOUBLE_EQ(samples.back().rx, step.newest.rx) << step.what;
            EXPECT_DOUBLE_EQ(samples.back().tx, step.newest.tx) << step.what;
        }
    }
}

TEST_F(NetSpeedMonitorTest, HistoryKeepsTheNewest720) {
    // Sample k (from 1) receives at 4k bytes per second.
    NetCounters counters;
    read(0, counters);
    for (std::uint64_t k = 1; k <= 721; ++k) {
        counters.rx += k;
        read(0.25, counters);
    }
    const auto samples = monitor->samples();
    ASSERT_EQ(samples.size(), 720u);
    EXPECT_DOUBLE_EQ(samples.front().rx, 8);
    EXPECT_DOUBLE_EQ(samples.back().rx, 4 * 721);
    EXPECT_EQ(monitor->totalSamples(), 721);
    EXPECT_EQ(document()["seq"].toInteger(), 721);
}

TEST_F(NetSpeedMonitorTest, DocumentCarriesSmoothedRatesAndRecentHistory) {
    const struct {
        const char* what;
        std::initializer_list<std::uint64_t> steps;
        qint64 rxBps;
        qint64 txBps;
        QList<qint64> rx;
        QList<qint64> tx;
    } cases[] = {
        {"no samples", {}, 0, 0, {}, {}},
        // 8, 16 and 20 bytes/s: the mean 14.67 is truncated, not rounded.
        {"three samples", {2, 4, 5}, 14, 0, {8, 16, 20}, {0, 0, 0}},
        {"twenty samples",
         {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120, 130, 140, 150, 160, 170, 180, 190, 200},
         (680 + 720 + 760 + 800) / 4,
         (68 + 72 + 76 + 80) / 4,
         {360, 400, 440, 480, 520, 560, 600, 640, 680, 720, 760, 800},
         {36, 40, 44, 48, 52, 56, 60, 64, 68, 72, 76, 80}},
    };
    for (const auto& c : cases) {
        monitor = std::make_shared<NetSpeedMonitor>(source, clock);
        readSteps(c.steps);
        const QJsonObject doc = document();
        EXPECT_EQ(doc["rx_bps"].toInteger(), c.rxBps) << c.what;
        EXPECT_EQ(doc["tx_bps"].toInteger(), c.txBps) << c.what;
        EXPECT_EQ(doc["seq"].toInteger(), qint64(c.steps.size())) << c.what;
        EXPECT_EQ(doc["interval_ms"].toInteger(), 250) << c.what;
        QList<qint64> rx, tx;
        for (const auto& v : doc["rx"].toArray())
            rx.append(v.toInteger());
        for (const auto& v : doc["tx"].toArray())
            tx.append(v.toInteger());
        EXPECT_EQ(rx, c.rx) << c.what;
        EXPECT_EQ(tx, c.tx) << c.what;
        const auto smoothed = monitor->currentSmoothed();
        EXPECT_EQ(qint64(smoothed.rx), c.rxBps) << c.what;
    }
}

TEST_F(NetSpeedMonitorTest, DocumentKeys) {
    readSteps({100});
    EXPECT_EQ(document().keys(), QStringList({"interval_ms", "rx", "rx_bps", "seq", "tx", "tx_bps"}));
    const QJsonObject withLoad = document(37, 62);
    EXPECT_EQ(withLoad.keys(),
              QStringList({"cpu_pct", "interval_ms", "mem_pct", "rx", "rx_bps", "seq", "tx", "tx_bps"}));
    EXPECT_EQ(withLoad["cpu_pct"].toInteger(), 37);
    EXPECT_EQ(withLoad["mem_pct"].toInteger(), 62);
}

TEST_F(NetSpeedMonitorTest, StartReadsAtOnceAndThenOnItsTimer) {
    monitor->start();
    EXPECT_EQ(source->readCount(), 1);
    EXPECT_TRUE(waitUntil([&] { return source->readCount() >= 3; }));
}

TEST(SysfsNetCounterSource, SumsWiredAndWirelessInterfaces) {
    QTemporaryDir root;
    const auto write = [&](const QString& interface, const QByteArray& rx, const QByteArray& tx) {
        const QString dir = root.filePath(interface + "/statistics");
        QDir().mkpath(dir);
        for (const auto& [name, value] : {std::pair{"rx_bytes", rx}, std::pair{"tx_bytes", tx}}) {
            QFile file(dir + '/' + name);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(value);
        }
    };
    write("eth0", "1000\n", "10\n");
    write("enp3s0", "2000\n", "20\n");
    write("wlan0", "40000000000\n", "40\n");
    write("lo", "500000\n", "500000\n");
    write("docker0", "7\n", "7\n");
    write("veth12", "9\n", "9\n");
    write("wg0", "11\n", "11\n");
    write("enbroken", "garbage\n", "1\n"); // an unreadable interface is left out
    SysfsNetCounterSource source(root.path());
    const auto counters = source.counters();
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->rx, 40000003000u);
    EXPECT_EQ(counters->tx, 70u);

    EXPECT_FALSE(SysfsNetCounterSource(root.filePath("missing")).counters());
}

} // namespace
