#include "support/BridgeProcess.h"
#include "support/FakeHttpServer.h"
#include "support/RawHttp.h"
#include "support/TempHome.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace glimmet::test;

namespace {

constexpr quint16 bridgePort = 8765;

// Runs a one-shot mode to its end; returns its standard output after checking it succeeded.
QByteArray runToSuccess(const QString& home, const QStringList& args) {
    BridgeProcess bridge(GLIMMET_BRIDGE_PATH, home, args);
    EXPECT_TRUE(bridge.process.waitForFinished(30000));
    EXPECT_EQ(bridge.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(bridge.process.exitCode(), 0);
    return bridge.process.readAllStandardOutput();
}

bool portIsFree(quint16 port) {
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, port);
}

// The logs below HOME, priced from the cached price file once there is one. (The rules: the
// scanner tests; the document: SnapshotJsonTest.)
TEST(CommandLine, StatusJsonReadsTheSessionLogsAndTheCachedPrices) {
    const QString stamp = QDateTime::currentDateTimeUtc().addSecs(-5).toString(Qt::ISODateWithMs);
    QTemporaryDir home;
    ASSERT_TRUE(
        writeFile(home.path() + "/.claude/projects/-work/s.jsonl",
                  (R"({"type":"assistant","timestamp":")" + stamp +
                   R"(","message":{"id":"m1","model":"claude-sonnet-4-5","usage":{"input_tokens":1000000}}})"
                   "\n")
                      .toUtf8()));
    ASSERT_TRUE(writeFile(
        home.path() + "/.codex/sessions/2026/r.jsonl",
        (R"({"timestamp":")" + stamp +
         R"(","type":"turn_context","payload":{"model":"gpt-5"}})"
         "\n"
         R"({"timestamp":")" +
         stamp +
         R"(","type":"event_msg","payload":{"type":"token_count","info":{"total_token_usage":{"total_tokens":2000000,"input_tokens":2000000},"last_token_usage":{"total_tokens":2000000,"input_tokens":2000000}}}})"
         "\n")
            .toUtf8()));
    const auto costs = [&] {
        const QByteArray out = runToSuccess(home.path(), {"--status-json", "ignored-extra"});
        EXPECT_EQ(out.count('\n'), 1) << "one line";
        const QJsonObject doc = QJsonDocument::fromJson(out).object();
        const QJsonObject claude = doc["claude"].toObject(), codex = doc["codex"].toObject();
        EXPECT_EQ(std::tuple(claude["status"].toString(), claude["tokens_today"].toInteger(),
                             codex["tokens_today"].toInteger()),
                  std::tuple(QString("working"), 1000000, 2000000));
        return std::pair(claude["cost_today_usd"].toDouble(), codex["cost_today_usd"].toDouble());
    };
    EXPECT_EQ(costs(), std::pair(3.0, 2.5));
    ASSERT_TRUE(
        writeFile(home.path() + "/data/GlimmetBridge/model-prices.json",
                  R"({"claude-sonnet-4-5":{"input_cost_per_token":1e-5,"output_cost_per_token":1e-5}})"));
    EXPECT_EQ(costs(), std::pair(10.0, 2.5));
}

TEST(CommandLine, BridgeServesAndASecondInstanceKeepsRunningWithoutThePort) {
    if (!portIsFree(bridgePort))
        GTEST_SKIP() << "port 8765 is in use on this machine";
    QTemporaryDir home;
    // A mode word without its arguments falls through to the normal bridge.
    BridgeProcess first(GLIMMET_BRIDGE_PATH, home.path(), {"--preview-btc"}); // no display: offscreen
    ASSERT_TRUE(first.waitForLog("[bridge] serving /status on 0.0.0.0:8765\n")) << first.log.toStdString();

    const QByteArray response = rawExchange(bridgePort, {"GET /status HTTP/1.1\r\nHost: x\r\n\r\n"});
    const qsizetype headerEnd = response.indexOf("\r\n\r\n");
    ASSERT_GT(headerEnd, 0) << response.constData();
    const QByteArray body = response.mid(headerEnd + 4);
    EXPECT_EQ(response.left(headerEnd + 4),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                  QByteArray::number(body.size()) +
                  "\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(QJsonDocument::fromJson(body).object()["preferred_agent"].toString(), "codex");

    QTemporaryDir otherHome;
    BridgeProcess second(GLIMMET_BRIDGE_PATH, otherHome.path());
    ASSERT_TRUE(second.waitForLog("[bridge] failed to bind port 8765: ")) << second.log.toStdString();
    EXPECT_TRUE(second.waitForLog("[bridge] no system tray")) << "the bridge goes on without a server";
    EXPECT_EQ(second.process.state(), QProcess::Running);

    for (BridgeProcess* bridge : {&first, &second}) {
        bridge->process.terminate();
        ASSERT_TRUE(bridge->process.waitForFinished(10000));
        EXPECT_EQ(bridge->process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(bridge->process.exitCode(), 0);
    }
}

TEST(CommandLine, PreviewOfAnUnknownSymbolFailsBeforeAnyRequest) {
    QTemporaryDir home;
    BridgeProcess bridge(GLIMMET_BRIDGE_PATH, home.path(),
                         {"--preview-market", "???", home.path() + "/x.png"});
    ASSERT_TRUE(bridge.process.waitForFinished(30000));
    EXPECT_EQ(bridge.process.exitCode(), 2);
    EXPECT_TRUE(bridge.process.readAllStandardError().contains("unknown market symbol\n"));
}

TEST(CommandLine, QuittingWhileAQuotaCycleWaitsOnTheNetworkEndsCleanly) {
    if (!portIsFree(bridgePort))
        GTEST_SKIP() << "port 8765 is in use on this machine";
    FakeHttpServer fake;
    const QStringList quotaPaths{"/api/oauth/usage", "/backend-api/wham/usage", "/v1/billing",
                                 "/coding/v1/usages"};
    const auto onTheWire = [&] {
        qsizetype n = 0;
        for (const QString& path : quotaPaths)
            n += fake.requests(path).size();
        return n;
    };
    for (const QString& path : quotaPaths)
        fake.setResponse(path, FakeResponse{200, "", {}, 0, true}); // never answered
    for (int run = 1; run <= 2; ++run) {
        QTemporaryDir home;
        ASSERT_TRUE(writeFile(home.path() + "/.claude/.credentials.json",
                              R"({"claudeAiOauth":{"accessToken":"t"}})"));
        ASSERT_TRUE(writeFile(home.path() + "/.codex/auth.json",
                              R"({"tokens":{"access_token":"t","account_id":"a"}})"));
        ASSERT_TRUE(writeFile(home.path() + "/.grok/auth.json", R"({"https://auth.x.ai::me":{"key":"t"}})"));
        ASSERT_TRUE(
            writeFile(home.path() + "/.kimi-code/credentials/kimi-code.json", R"({"access_token":"t"})"));
        BridgeProcess bridge(GLIMMET_BRIDGE_PATH, home.path(), {}, fake.baseUrl());
        for (QDeadlineTimer deadline(15000); onTheWire() < 4 * run && !deadline.hasExpired();)
            bridge.process.waitForFinished(50);
        ASSERT_EQ(onTheWire(), 4 * run) << "the four fetches of a cycle wait for their answers";
        bridge.process.terminate();
        ASSERT_TRUE(bridge.process.waitForFinished(15000));
        EXPECT_EQ(bridge.process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(bridge.process.exitCode(), 0) << bridge.process.readAllStandardError().constData();
    }
}

TEST(CommandLine, SelfTestPrintsOneLineAndSucceeds) {
    QTemporaryDir home;
    EXPECT_EQ(runToSuccess(home.path(), {"--self-test", "ignored-extra"}),
              "self-test: usage-window=00:01 market-symbols=5 btc-frame=115200 OK\n");
}

} // namespace
