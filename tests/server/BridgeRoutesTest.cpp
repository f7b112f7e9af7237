#include "server/BridgeRoutes.h"
#include "common/Settings.h"
#include "device/DeviceClient.h"
#include "market/MarketFrameCodec.h"
#include "market/MarketMonitor.h"
#include "monitors/MonitorFakes.h"
#include "monitors/NetSpeedMonitor.h"
#include "monitors/NowPlayingMonitor.h"
#include "monitors/SystemStatsMonitor.h"
#include "status/ScriptedStatusService.h"
#include "support/FakeClock.h"
#include "support/PackedFrame.h"
#include "support/TempHome.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtEndian>

#include <future>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

class BridgeRoutesTest : public testing::Test {
protected:
    TempHome home;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(1'780'000'000);
    std::shared_ptr<ScriptedStatusService> status = std::make_shared<ScriptedStatusService>(clock);
    std::shared_ptr<FakeNetCounterSource> counters = std::make_shared<FakeNetCounterSource>();
    std::shared_ptr<NetSpeedMonitor> net = std::make_shared<NetSpeedMonitor>(counters, clock);
    QTemporaryDir proc;
    std::shared_ptr<SystemStatsMonitor> systemStats =
        std::make_shared<SystemStatsMonitor>(clock, proc.path());
    std::shared_ptr<NowPlayingMonitor> nowPlaying =
        std::make_shared<NowPlayingMonitor>(std::make_shared<FakeNowPlayingSource>(), clock);
    RouteTables tables = BridgeRoutes::make({status, net, systemStats, nowPlaying});
    HTTPServer server{0, tables.routes, tables.binaryRoutes, tables.postRoutes};

    QByteArray body(const QByteArray& response) { return response.mid(response.indexOf("\r\n\r\n") + 4); }
    QByteArray post(const QByteArray& json) { return body(server.response("POST", "/event", json)); }
    QByteArray get(const char* path) { return server.response("GET", path, {}); }
};

TEST_F(BridgeRoutesTest, StatusRoutesServeTheDocument) {
    status->codex.lastActivityAt = 5;
    status->snapshot(true);
    for (const char* path : {"/", "/status", "/status?x=1"}) {
        const QByteArray response = server.response("GET", path, {});
        ASSERT_TRUE(response.startsWith("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n")) << path;
        const QJsonObject doc = QJsonDocument::fromJson(body(response)).object();
        EXPECT_EQ(doc["codex"].toObject()["last_activity_at"].toInteger(), 5) << path;
    }
    const RouteTables statusOnly = BridgeRoutes::make({status}); // the routes of missing services are absent
    EXPECT_FALSE(statusOnly.routes.contains("/net") || statusOnly.routes.contains("/music"));
    EXPECT_TRUE(statusOnly.binaryRoutes.isEmpty());
}

// What reaches the status service of each body (its rules: HookEventsTest).
TEST_F(BridgeRoutesTest, EventBodies) {
    status->snapshot(true);
    const struct {
        QByteArray body, answer;
        bool needsInput; // Codex's after the post
    } cases[] = {
        {"not json", "{\"ok\":false}", false},
        {"[1,2]", "{\"ok\":false}", false},
        {"", "{\"ok\":false}", false},
        {"{\"agent\":\"codex\"}", "{\"ok\":false}", false},
        {"{\"agent\":1,\"event\":\"PermissionRequest\"}", "{\"ok\":false}", false},
        {"{\"agent\":\"codex\",\"event\":7}", "{\"ok\":false}", false},
        {"{\"agent\":\"nobody\",\"event\":\"PermissionRequest\"}", "{\"ok\":true}", false},
        {"{\"agent\":\"codex\",\"event\":\"Notification\",\"message\":42}", "{\"ok\":true}", false},
        {"{\"agent\":\"codex\",\"event\":\"Notification\",\"message\":\"needs permission\"}", "{\"ok\":true}",
         true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(post(c.body), c.answer) << c.body.constData();
        EXPECT_EQ(status->snapshot(false).codex.needsInput, c.needsInput) << c.body.constData();
    }
}

TEST_F(BridgeRoutesTest, PollsRecordTheClockAddressAndTime) {
    const struct {
        const char* path;
        const char* host;
        const char* deviceHost;
        const char* lastSeen;
        bool forgetDevice = false; // the user clears the clock's address first
    } steps[] = {
        {"/status", "127.0.0.1", "", ""}, // loopback is ignored
        {"/status", "::1", "", ""},
        {"/btc", "192.168.1.20", "", ""}, // other routes are ignored
        {"/music/cover.raw", "192.168.1.20", "", ""},
        {"/status", "192.168.1.20", "192.168.1.20", "192.168.1.20"}, // first poll sets both
        {"/net", "192.168.1.21", "192.168.1.20", "192.168.1.21"},    // later ones only the last seen
        {"/music", "fe80::2", "192.168.1.20", "fe80::2"},
        {"/status", "fe80::2", "fe80::2", "fe80::2", true}, // the same clock sets it again
    };
    DeviceClient::setDevicePollAt(0);
    for (const auto& step : steps) {
        clock->advance(1);
        if (step.forgetDevice)
            Settings::setDeviceHost("");
        BridgeRoutes::onRequest(step.path, step.host, *clock);
        Settings::flush();
        EXPECT_EQ(Settings::deviceHost(), step.deviceHost) << step.path << " " << step.host;
        EXPECT_EQ(Settings::deviceLastSeen(), step.lastSeen) << step.path << " " << step.host;
        EXPECT_EQ(DeviceClient::devicePollAt() == clock->now(), *step.lastSeen != 0) << step.path;
    }
}

TEST_F(BridgeRoutesTest, PollsDoNotWaitForTheSettingsFile) {
    const QString file = QSettings("Glimmet", "GlimmetBridge").fileName();
    QDir().mkpath(QFileInfo(file).path());
    QLockFile fileLock(file + ".lock");
    ASSERT_TRUE(fileLock.lock());
    auto poll =
        std::async(std::launch::async, [&] { BridgeRoutes::onRequest("/status", "10.0.0.9", *clock); });
    const bool answered = poll.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    fileLock.unlock();
    EXPECT_TRUE(answered);
    poll.wait();
    Settings::flush();
    EXPECT_EQ(Settings::deviceHost(), "10.0.0.9");
}

TEST_F(BridgeRoutesTest, NetRouteServesRatesWithSystemLoad) {
    QFile meminfo(proc.filePath("meminfo"));
    ASSERT_TRUE(meminfo.open(QIODevice::WriteOnly));
    meminfo.write("MemTotal: 200 kB\nMemAvailable: 50 kB\n");
    meminfo.close();
    counters->set(NetCounters{1000, 100});
    net->sampleNow();
    clock->advance(0.25);
    counters->set(NetCounters{2000, 200});
    net->sampleNow();

    const QByteArray response = get("/net?x=1");
    ASSERT_TRUE(response.startsWith("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"));
    const QJsonObject doc = QJsonDocument::fromJson(body(response)).object();
    EXPECT_EQ(QList<QJsonValue>({doc["seq"], doc["rx_bps"], doc["tx_bps"], doc["cpu_pct"], doc["mem_pct"]}),
              QList<QJsonValue>({1, 4000, 400, 0, 75}));
    // Without the system monitor the document carries no load figures.
    const QByteArray bare = BridgeRoutes::make({nullptr, net}).routes.value("/net")();
    EXPECT_TRUE(bare.contains("\"rx_bps\":4000") && !bare.contains("cpu_pct") && !bare.contains("mem_pct"));
}

TEST_F(BridgeRoutesTest, MusicRoutesServeTheDocumentAndBitmaps) {
    // Bitmaps that do not exist yet answer 404 with an empty binary body.
    for (const char* path : {"/music/cover.raw", "/music/text.raw"}) {
        EXPECT_EQ(get(path),
                  "HTTP/1.1 404 Not Found\r\nContent-Type: application/octet-stream\r\n"
                  "Content-Length: 0\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n")
            << path;
    }

    QImage art(10, 10, QImage::Format_RGB32);
    art.fill(Qt::white);
    NowPlayingInfo info;
    info.title = "Song";
    info.artist = "Artist";
    info.duration = 100;
    info.playing = true;
    info.artwork = png(art);
    nowPlaying->apply(info);

    const QByteArray music = get("/music");
    ASSERT_TRUE(music.startsWith("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"));
    const QJsonObject doc = QJsonDocument::fromJson(body(music)).object();
    EXPECT_EQ(doc["title"].toString(), "Song");
    EXPECT_TRUE(doc["has_artwork"].toBool());

    const QByteArray cover = get("/music/cover.raw"), text = get("/music/text.raw");
    for (const QByteArray& response : {cover, text})
        EXPECT_TRUE(response.startsWith("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"));
    EXPECT_EQ(body(cover), QByteArray(32768, '\xFF')); // the white cover, 128 x 128
    EXPECT_EQ(body(text), nowPlaying->textRGB565());   // its pixels: NowPlayingMonitorTest
    EXPECT_NE(body(text), QByteArray(20416, '\0'));
}

TEST(MarketRoutes, PackedAndRawFramesAgreeWithTheVersion) {
    TempHome home;
    const auto clock = std::make_shared<FakeClock>();
    const auto chart = [&](const MarketInstrument& i, MarketInterval v, const MarketFetchContext&,
                           MarketCompletion c) {
        c(MarketFetch::snapshot(i, v, {{1, 90, 110, 95, 105}, {2, 100, 120, 105, 115}}, 115, 100, "Coinbase",
                                3));
    };
    const auto monitor = std::make_shared<MarketMonitor>(clock, chart);
    const RouteTables tables = BridgeRoutes::make({.market = monitor});
    const HTTPServer server{0, tables.routes, tables.binaryRoutes, tables.postRoutes};
    const auto get = [&](const char* path, const char* type) {
        const QByteArray response = server.response("GET", path, {});
        const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: " + QByteArray(type) + "\r\n";
        EXPECT_TRUE(response.startsWith(head)) << path << response.left(80).constData();
        return response.mid(response.indexOf("\r\n\r\n") + 4);
    };
    for (int step = 0; step < 2; ++step) { // the waiting frame, then a chart
        const QByteArray rle = get("/btc/frame.rle", "application/octet-stream");
        const QByteArray raw = get("/btc/frame.raw", "application/octet-stream");
        const QJsonObject version = QJsonDocument::fromJson(get("/btc/version", "application/json")).object();
        ASSERT_EQ(raw.size(), 8 + MarketFrameCodec::rawFrameBytes);
        EXPECT_EQ(unpack(rle.mid(MarketFrameCodec::envelopeHeaderBytes)), raw.mid(8));
        EXPECT_EQ(qFromBigEndian<quint64>(rle.constData() + 4), qFromBigEndian<quint64>(raw.constData()));
        EXPECT_EQ(version["version"].toInteger(), qFromBigEndian<qint64>(raw.constData()));
        EXPECT_EQ(version["packed_bytes"].toInteger(), rle.size());
        EXPECT_EQ(QJsonDocument::fromJson(get("/btc", "application/json"))["price"].toDouble(), 115 * step);
        monitor->setInstrument(monitor->requestedInstrument());
        monitor->waitIdle();
    }
}

} // namespace
