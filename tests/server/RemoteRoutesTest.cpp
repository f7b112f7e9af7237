#include "server/RemoteRoutes.h"
#include "server/BridgeRoutes.h"
#include "server/RemoteToken.h"
#include "status/ModelPricing.h"
#include "status/RemoteHosts.h"
#include "status/ScriptedStatusService.h"
#include "support/FakeClock.h"
#include "support/RawHttp.h"
#include "support/TempHome.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

const QByteArray token = "0123456789abcdef";

TEST(RemoteRoutes, BearerRule) {
    const struct {
        const char* peer;
        const char* authorization;
        QByteArray token;
        bool allowed;
    } cases[] = {
        {"127.0.0.1", "", token, true},
        {"127.0.0.53", "", token, true},
        {"::1", "", "", true},
        {"10.0.0.2", "", token, false},
        {"10.0.0.2", "Bearer 0123456789abcdef", token, true},
        {"fe80::2", "bearer 0123456789abcdef", token, true},
        {"10.0.0.2", "Bearer 0123456789abcdeF", token, false},
        {"10.0.0.2", "Bearer 0123456789abcde", token, false},
        {"10.0.0.2", "Basic 0123456789abcdef", token, false},
        {"10.0.0.2", "0123456789abcdef", token, false},
        {"10.0.0.2", "Bearer ", "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RemoteRoutes::mayWrite(c.peer, c.authorization, c.token), c.allowed)
            << c.peer << " " << c.authorization;
}

class RemoteRoutesTest : public testing::Test {
protected:
    TempHome home;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(1796576420.0);
    std::shared_ptr<RemoteHosts> hosts =
        std::make_shared<RemoteHosts>("desk", clock, std::make_shared<ModelPricing>(home.path()));
    std::shared_ptr<ScriptedStatusService> status = std::make_shared<ScriptedStatusService>(clock);
    RouteTables tables = BridgeRoutes::make({status, {}, {}, {}, {}, hosts, token});
    HTTPServer server{0, tables.routes, tables.binaryRoutes, tables.postRoutes, tables.requestRoutes};

    static QByteArray sample(const char* name) {
        QFile file(QString(GLIMMET_TESTS_DIR "/status/data/otlp/") + name);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
        return file.readAll();
    }
};

const QByteArray report =
    R"({"host":"devbox","day":"2026-12-07","utc_offset_min":480,)"
    R"("claude":{"status":"working","tokens_today":5,"cost_today_usd":0.1,"cost_complete":true,)"
    R"("last_activity_at":1796576400},"codex":{}})";

TEST_F(RemoteRoutesTest, AnswersAndWhatTheyChange) {
    const QByteArray claudeLogs = sample("claude-logs-002.json");
    const struct {
        const char* name;
        const char* peer;
        QString path;
        QStringList headers;
        QByteArray body;
        int status;
        QByteArray answerStart;
        qsizetype hostsAfter;
        std::int64_t declaredLength = -1; // -1: the body's length
    } cases[] = {
        // clang-format off
        {"report_without_token", "10.0.0.2", "/hosts/report", {}, report, 401, "only this machine", 0},
        {"report_with_wrong_token", "10.0.0.2", "/hosts/report", {"Authorization: Bearer 0123456789abcdeX"}, report, 401, "only this machine", 0},
        {"report_with_token", "10.0.0.2", "/hosts/report", {"authorization: Bearer 0123456789abcdef"}, report, 200, "{\"ok\":true}", 1},
        {"report_over_loopback", "127.0.0.1", "/hosts/report", {}, report, 200, "{\"ok\":true}", 1},
        {"not_a_report", "127.0.0.1", "/hosts/report", {}, R"({"host":"x","day":"today"})", 400, "the body is not a relay summary", 0},
        {"report_too_large", "127.0.0.1", "/hosts/report", {}, report, 413, "the body is larger than 65536 bytes", 0, 70000},
        {"cut_body", "127.0.0.1", "/v1/logs", {}, claudeLogs, 413, "the body is larger", 0, claudeLogs.size() + 1},
        {"protobuf", "127.0.0.1", "/v1/logs", {"Content-Type: application/x-protobuf"}, claudeLogs, 415, "this bridge reads OpenTelemetry in JSON only: set the exporter's protocol to http/json", 0},
        {"compressed", "127.0.0.1", "/v1/logs", {"Content-Encoding: gzip"}, claudeLogs, 415, "send the export uncompressed", 0},
        {"logs_without_token", "10.0.0.2", "/v1/logs", {"Content-Type: application/json"}, claudeLogs, 401, "only this machine", 0},
        {"logs", "10.0.0.2", "/v1/logs", {"Content-Type: application/json; charset=utf-8", "Authorization: Bearer 0123456789abcdef"}, claudeLogs, 200, "{}", 1},
        {"not_logs", "127.0.0.1", "/v1/logs", {}, "[1]", 400, "the body is not an OTLP logs export in JSON", 0},
        {"metrics", "127.0.0.1", "/v1/metrics", {}, sample("claude-metrics-003.json"), 200, "{}", 1},
        {"cumulative_metrics_rejected", "127.0.0.1", "/v1/metrics", {}, sample("claude-metrics-003.json").replace("\"aggregationTemporality\":1", "\"aggregationTemporality\":2"), 200, R"({"partialSuccess":{"errorMessage":"only delta sums)", 1},
        // clang-format on
    };
    for (const auto& c : cases) {
        hosts = std::make_shared<RemoteHosts>("desk", clock, std::make_shared<ModelPricing>(home.path()));
        tables = BridgeRoutes::make({status, {}, {}, {}, {}, hosts, token});
        const HTTPServer fresh(0, tables.routes, tables.binaryRoutes, tables.postRoutes,
                               tables.requestRoutes);
        IncomingRequest request{"POST", c.path, c.headers, c.body,
                                c.declaredLength < 0 ? c.body.size() : c.declaredLength};
        const QByteArray response = fresh.response(request, c.peer);
        const QByteArray answer = response.mid(response.indexOf("\r\n\r\n") + 4);
        EXPECT_TRUE(response.startsWith("HTTP/1.1 " + QByteArray::number(c.status)))
            << c.name << ": " << response.constData();
        EXPECT_TRUE(answer.startsWith(c.answerStart)) << c.name << ": " << answer.constData();
        EXPECT_EQ(qsizetype(hosts->hosts().size()), c.hostsAfter) << c.name;
    }
}

TEST_F(RemoteRoutesTest, RefusedPeersAreNotWaitedForBeyondASmallBody) {
    IncomingRequest head{"POST", "/v1/logs", {}, {}, 0};
    const RequestRoute& logs = tables.requestRoutes[QStringLiteral("POST /v1/logs")];
    EXPECT_EQ(logs.bodyLimit(head, "10.0.0.2"), RemoteRoutes::maxRefusedBody);
    EXPECT_EQ(logs.bodyLimit(head, "127.0.0.1"), RemoteRoutes::maxOtlpBody);
    head.headerLines = {"Authorization: Bearer 0123456789abcdef"};
    EXPECT_EQ(logs.bodyLimit(head, "10.0.0.2"), RemoteRoutes::maxOtlpBody);
}

// An export larger than the clock's routes wait for is read whole over a real connection.
TEST_F(RemoteRoutesTest, LargeExportOverTheSocketAndTheHostList) {
    ASSERT_TRUE(server.start().has_value());
    const QByteArray body = sample("claude-logs-002.json") + QByteArray(1'500'000, ' ');
    const QByteArray response = rawExchange(
        server.port(),
        {"POST /v1/logs HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body});
    EXPECT_TRUE(response.startsWith("HTTP/1.1 200 OK\r\n")) << response.left(200).constData();
    // A loopback exporter whose resource names no host is this machine: state, no figures.
    const QByteArray list = rawExchange(server.port(), {"GET /hosts HTTP/1.1\r\n\r\n"});
    EXPECT_TRUE(list.contains(
        R"("counted":false,"host":"desk","last_seen":1796576420,"local":true,"sources":["otlp"])"))
        << list.constData();
}

TEST_F(RemoteRoutesTest, HookEventsGoToTheirHost) {
    const struct {
        QByteArray body;
        const char* localStatus;
        qsizetype hosts;
    } cases[] = {
        // clang-format off
        {R"({"agent":"claude","event":"PreToolUse"})", "working", 0},
        {R"({"agent":"claude","event":"PreToolUse","host":"Desk"})", "working", 0},
        {R"({"agent":"claude","event":"PreToolUse","host":7})", "working", 0},
        {R"({"agent":"claude","event":"PreToolUse","host":"devbox"})", "offline", 1},
        // clang-format on
    };
    for (const auto& c : cases) {
        status = std::make_shared<ScriptedStatusService>(clock);
        hosts = std::make_shared<RemoteHosts>("desk", clock, std::make_shared<ModelPricing>(home.path()));
        EXPECT_EQ(BridgeRoutes::handleEvent(*status, c.body, hosts.get()), "{\"ok\":true}");
        status->snapshot(true);
        EXPECT_EQ(status->snapshot(false).claude.status, c.localStatus) << c.body.constData();
        EXPECT_EQ(qsizetype(hosts->hosts().size()), c.hosts) << c.body.constData();
    }
}

TEST(RemoteToken, MadeOnceReadableByTheUserOnly) {
    TempHome home;
    const QString path = home.path() + "/config/Glimmet/remote-token";
    const auto first = RemoteToken::loadOrCreate(path);
    ASSERT_TRUE(first.has_value()) << first.error().description.toStdString();
    EXPECT_EQ(first->size(), 64);
    EXPECT_EQ(QFile::permissions(path),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    EXPECT_EQ(RemoteToken::loadOrCreate(path).value_or(""), *first);
    writeFile(path, "chosen-by-the-user\n");
    EXPECT_EQ(RemoteToken::loadOrCreate(path).value_or(""), "chosen-by-the-user");
}

} // namespace
