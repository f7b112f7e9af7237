#include "server/BridgeRoutes.h"
#include "common/Settings.h"
#include "device/DeviceClient.h"
#include "status/ScriptedStatusService.h"
#include "support/FakeClock.h"
#include "support/TempHome.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

class BridgeRoutesTest : public testing::Test {
protected:
    TempHome home;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(1'780'000'000);
    std::shared_ptr<ScriptedStatusService> status = std::make_shared<ScriptedStatusService>(clock);
    RouteTables tables = BridgeRoutes::make({status});
    HTTPServer server{0, tables.routes, tables.binaryRoutes, tables.postRoutes};

    QByteArray body(const QByteArray& response) { return response.mid(response.indexOf("\r\n\r\n") + 4); }
    QByteArray post(const QByteArray& json) { return body(server.response("POST", "/event", json)); }
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
}

TEST_F(BridgeRoutesTest, EventBodies) {
    const struct {
        QByteArray body;
        QByteArray answer;
    } cases[] = {
        {"not json", "{\"ok\":false}"},
        {"[1,2]", "{\"ok\":false}"},
        {"{\"event\":\"Stop\"}", "{\"ok\":false}"},
        {"{\"agent\":\"claude\"}", "{\"ok\":false}"},
        {"{\"agent\":1,\"event\":\"Stop\"}", "{\"ok\":false}"},
        {"{\"agent\":\"claude\",\"event\":7}", "{\"ok\":false}"},
        {"", "{\"ok\":false}"},
        {"{\"agent\":\"nobody\",\"event\":\"Whatever\"}", "{\"ok\":true}"},
        {"{\"agent\":\"claude\",\"event\":\"PreToolUse\"}", "{\"ok\":true}"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(post(c.body), c.answer) << c.body.constData();
}

TEST_F(BridgeRoutesTest, EventReachesTheStatusService) {
    status->snapshot(true);
    EXPECT_EQ(post("{\"agent\":\"claude\",\"event\":\"PreToolUse\"}"), "{\"ok\":true}");
    EXPECT_EQ(status->snapshot(false).claude.status, "working");

    // A numeric message is no message: this Notification changes nothing.
    post("{\"agent\":\"codex\",\"event\":\"Notification\",\"message\":42}");
    EXPECT_FALSE(status->snapshot(false).codex.needsInput);
    post("{\"agent\":\"codex\",\"event\":\"Notification\",\"message\":\"needs permission\"}");
    EXPECT_TRUE(status->snapshot(false).codex.needsInput);
}

TEST_F(BridgeRoutesTest, WrongMethodsAreNotFound) {
    EXPECT_TRUE(server.response("GET", "/event", {}).startsWith("HTTP/1.1 404 Not Found\r\n"));
    EXPECT_TRUE(server.response("POST", "/status", "{}").startsWith("HTTP/1.1 404 Not Found\r\n"));
}

TEST_F(BridgeRoutesTest, PollsRecordTheClockAddress) {
    const struct {
        const char* path;
        const char* host;
        const char* deviceHost;
        const char* lastSeen;
    } steps[] = {
        {"/status", "127.0.0.1", "", ""}, // loopback is ignored
        {"/status", "::1", "", ""},
        {"/btc", "192.168.1.20", "", ""}, // other routes are ignored
        {"/music/cover.raw", "192.168.1.20", "", ""},
        {"/status", "192.168.1.20", "192.168.1.20", "192.168.1.20"}, // first poll sets both
        {"/net", "192.168.1.21", "192.168.1.20", "192.168.1.21"},    // later ones only the last seen
        {"/music", "fe80::2", "192.168.1.20", "fe80::2"},
    };
    for (const auto& step : steps) {
        BridgeRoutes::onRequest(step.path, step.host, *clock);
        EXPECT_EQ(Settings::deviceHost(), step.deviceHost) << step.path << " " << step.host;
        EXPECT_EQ(Settings::deviceLastSeen(), step.lastSeen) << step.path << " " << step.host;
    }
}

TEST_F(BridgeRoutesTest, PollRecordsItsTimeAndFillsAnEmptyHost) {
    Settings::setDeviceHost("");
    DeviceClient::setDevicePollAt(0);
    BridgeRoutes::onRequest("/btc", "10.0.0.9", *clock);
    EXPECT_EQ(DeviceClient::devicePollAt(), 0);
    BridgeRoutes::onRequest("/status", "10.0.0.9", *clock);
    EXPECT_EQ(DeviceClient::devicePollAt(), clock->now());
    EXPECT_EQ(Settings::deviceHost(), "10.0.0.9");
}

} // namespace
