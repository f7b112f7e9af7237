#include "status/RelayReporter.h"
#include "common/Log.h"
#include "status/LogTree.h"
#include "status/ModelPricing.h"
#include "support/FakeClock.h"
#include "support/FakeHttpServer.h"
#include "support/Wait.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

QByteArray usageLine(double at, const char* id, int input) {
    return QString(R"({"type":"assistant","timestamp":"%1","costUSD":0.5,"message":{"id":"%2",)"
                   R"("model":"claude-sonnet-4-5","usage":{"input_tokens":%3}}})")
        .arg(LogTree::iso(at), id)
        .arg(input)
        .toUtf8();
}

// The relay against a stand-in bridge: a report at once, then only on a change or after 30 s;
// while the bridge refuses, pauses that double and the latest summary alone.
TEST(RelayReporter, ReportsOnChangesAndEvery30SecondsAndBacksOff) {
    LogTree tree;
    const double start = tree.at("2026-07-14T18:00:00");
    auto clock = std::make_shared<FakeClock>(start);
    tree.write(".claude/projects/p/s.jsonl", {usageLine(start - 100, "m1", 1000)}, start - 100);
    FakeHttpServer bridge;
    bridge.setJson("/hosts/report", "{\"ok\":true}");
    QStringList logged;
    Log::setSink([&logged](const QString& line) { logged << line; });
    RelayReporter relay({QUrl(bridge.baseUrl() + "/"), "secret", "devbox"}, clock,
                        std::make_shared<ModelPricing>(tree.home.path()));

    // (seconds after the start, answer of the bridge, reports it has received by then)
    const struct {
        double at;
        int answer;
        qsizetype received;
        const char* appendId = nullptr;
    } steps[] = {
        {0, 200, 1},        {10, 200, 1},   {29.9, 200, 1}, {30, 200, 2},   // every 30 s
        {31, 200, 3, "m2"},                                                 // a change
        {32, 503, 4, "m3"}, {32.9, 503, 4}, {33, 401, 5},   {34.9, 200, 5}, // pauses of 1 and 2 s
        {35, 200, 6},                                                       // back
    };
    for (const auto& step : steps) {
        clock->set(start + step.at);
        bridge.setJson("/hosts/report", "{\"ok\":true}", step.answer);
        if (step.appendId)
            tree.write(".claude/projects/p/" + QString(step.appendId) + ".jsonl",
                       {usageLine(start + step.at, step.appendId, 10)}, start + step.at);
        relay.scanNow();
        ASSERT_TRUE(waitUntil([&] { return !relay.sending(); })) << step.at;
        EXPECT_EQ(bridge.requests("/hosts/report").size(), step.received) << "at +" << step.at;
    }
    const QList<RecordedRequest> reports = bridge.requests("/hosts/report");
    EXPECT_EQ(reports.front().header("Authorization"), "Bearer secret");
    const QJsonObject first = QJsonDocument::fromJson(reports.front().body).object();
    EXPECT_EQ(first["host"], "devbox");
    EXPECT_EQ(first["day"], "2026-07-14");
    EXPECT_EQ(first["utc_offset_min"], 480);
    EXPECT_EQ(first["claude"].toObject()["status"], "idle");
    EXPECT_EQ(first["claude"].toObject()["tokens_today"], 1000);
    EXPECT_EQ(first["claude"].toObject()["cost_today_usd"], 0.5);
    const QJsonObject last = QJsonDocument::fromJson(reports.back().body).object();
    EXPECT_EQ(last["claude"].toObject()["tokens_today"], 1020) << "the latest summary, once";
    EXPECT_EQ(relay.delivered(), 4);
    Log::setSink({});
    EXPECT_EQ(logged.filter("[relay]").size(), 3) << logged.join('\n').toStdString();
    EXPECT_TRUE(logged.filter("answered 503; trying again").size() == 1);
    EXPECT_TRUE(logged.filter("refused the report (401): set GLIMMET_REMOTE_TOKEN").size() == 1);
    EXPECT_TRUE(logged.filter("takes reports again").size() == 1);
}

} // namespace
