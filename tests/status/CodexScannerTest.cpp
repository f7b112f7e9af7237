#include "status/CodexScanner.h"
#include "status/LogTree.h"
#include "status/ModelPricing.h"

#include <QJsonArray>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

constexpr double M = 1e-6;

QJsonObject counts(qint64 total, qint64 input, qint64 cached, qint64 output) {
    return {{"total_tokens", total},
            {"input_tokens", input},
            {"cached_input_tokens", cached},
            {"output_tokens", output}};
}

QJsonObject tokenCount(const QString& ts, const QJsonObject& total, const QJsonObject& last,
                       const QJsonObject& rateLimits = {}) {
    QJsonObject info{{"total_token_usage", total}, {"last_token_usage", last}};
    QJsonObject payload{{"type", "token_count"}, {"info", info}};
    if (!rateLimits.isEmpty())
        payload["rate_limits"] = rateLimits;
    return {{"timestamp", ts}, {"type", "event_msg"}, {"payload", payload}};
}

QJsonObject turnContext(const QString& ts, const QString& model) {
    return {{"timestamp", ts}, {"type", "turn_context"}, {"payload", QJsonObject{{"model", model}}}};
}

QJsonObject serviceTier(const QString& ts, const QJsonValue& tier) {
    QJsonObject settings;
    if (!tier.isUndefined())
        settings["service_tier"] = tier;
    return {{"timestamp", ts},
            {"type", "event_msg"},
            {"payload", QJsonObject{{"type", "thread_settings_applied"}, {"thread_settings", settings}}}};
}

QJsonObject taskStarted(const QString& ts) {
    return {{"timestamp", ts}, {"type", "event_msg"}, {"payload", QJsonObject{{"type", "task_started"}}}};
}

QJsonObject window(double used, qint64 minutes, double resetsAt) {
    return {{"used_percent", used}, {"window_minutes", minutes}, {"resets_at", resetsAt}};
}

class CodexScannerTest : public testing::Test {
protected:
    LogTree tree;
    ModelPricing pricing{tree.home.path() + "/prices"};
    double now = tree.at("2026-07-14T18:00:00");

    CodexStatus scan() { return readCodexLogs(tree.path(".codex/sessions"), now, tree.zone, pricing); }
    QString rollout(const QString& name) { return ".codex/sessions/2026/07/14/rollout-" + name + ".jsonl"; }
    QString ts(const char* local) { return tree.iso(local); }
};

TEST_F(CodexScannerTest, RunningTotals) {
    const struct {
        const char* name;
        QList<QVariant> lines;
        qint64 tokens;
        double cost; // gpt-5 prices, per million: input 1.25, cached 0.125, output 10
    } cases[] = {
        {"yesterday_sets_the_baseline",
         {turnContext(ts("2026-07-13T23:00:00"), "gpt-5"),
          tokenCount(ts("2026-07-13T23:50:00"), counts(1000, 800, 100, 200), counts(1000, 800, 100, 200)),
          tokenCount(ts("2026-07-14T09:00:00"), counts(1500, 1200, 300, 300), counts(500, 400, 200, 100))},
         500,
         (200 * 1.25 + 200 * 0.125 + 100 * 10) * M},
        {"first_line_of_today_counts_its_last_usage",
         {turnContext(ts("2026-07-14T08:00:00"), "gpt-5"),
          tokenCount(ts("2026-07-14T09:00:00"), counts(5000, 4000, 1000, 1000), counts(300, 200, 50, 100))},
         300,
         (150 * 1.25 + 50 * 0.125 + 100 * 10) * M},
        {"total_going_down_counts_zero_and_rebases",
         {turnContext(ts("2026-07-14T08:00:00"), "gpt-5"),
          tokenCount(ts("2026-07-14T09:00:00"), counts(100, 100, 0, 0), counts(100, 100, 0, 0)),
          tokenCount(ts("2026-07-14T09:10:00"), counts(40, 40, 0, 0), counts(40, 40, 0, 0)),
          tokenCount(ts("2026-07-14T09:20:00"), counts(70, 60, 0, 10), counts(30, 20, 0, 10))},
         130,
         (120 * 1.25 + 10 * 10) * M},
        {"first_minute_of_the_day_is_a_baseline",
         {turnContext(ts("2026-07-14T00:00:10"), "gpt-5"),
          tokenCount(ts("2026-07-14T00:00:30"), counts(100, 100, 0, 0), counts(100, 100, 0, 0)),
          tokenCount(ts("2026-07-14T00:02:00"), counts(150, 150, 0, 0), counts(50, 50, 0, 0))},
         50,
         50 * 1.25 * M},
        {"cached_above_input_charges_no_uncached_input",
         {turnContext(ts("2026-07-14T08:00:00"), "gpt-5"),
          tokenCount(ts("2026-07-14T09:00:00"), counts(10, 5, 8, 0), counts(10, 5, 8, 0))},
         10,
         8 * 0.125 * M},
    };
    for (const auto& c : cases) {
        LogTree own;
        own.write(".codex/sessions/r.jsonl", c.lines, now - 3600);
        const CodexStatus status = readCodexLogs(own.path(".codex/sessions"), now, own.zone, pricing);
        EXPECT_EQ(status.tokensToday, c.tokens) << c.name;
        ASSERT_TRUE(status.costToday.has_value()) << c.name;
        EXPECT_NEAR(*status.costToday, c.cost, 1e-12) << c.name;
    }
}

TEST_F(CodexScannerTest, ZeroIncreaseLeavesCostAndRateLimitsUntouched) {
    const QJsonObject early{{"secondary", window(30, 10080, now + 600)}};
    const QJsonObject later{{"secondary", window(90, 10080, now + 60)}};
    tree.write(rollout("a"),
               {turnContext(ts("2026-07-14T08:00:00"), "gpt-5"),
                tokenCount(ts("2026-07-14T09:00:00"), counts(100, 100, 0, 0), counts(100, 100, 0, 0), early),
                tokenCount(ts("2026-07-14T10:00:00"), counts(100, 100, 0, 0), counts(0, 0, 0, 0), later)},
               now - 3600);
    const CodexStatus status = scan();
    EXPECT_EQ(status.tokensToday, 100);
    EXPECT_EQ(status.weeklyPct, 30);
    EXPECT_EQ(status.weeklyResetMin, 10);
}

TEST_F(CodexScannerTest, RateLimitWindows) {
    const struct {
        const char* name;
        QJsonObject payloadLimits;
        QJsonObject infoLimits;
        std::optional<double> pct;
        std::optional<qint64> windowMin;
        std::optional<qint64> resetMin;
    } cases[] = {
        {"short_window_only",
         {{"primary", window(12, 300, now + 600)}},
         {},
         std::nullopt,
         std::nullopt,
         std::nullopt},
        {"weekly_secondary",
         {{"primary", window(12, 300, now + 600)}, {"secondary", window(44, 10080, now + 7200)}},
         {},
         44,
         10080,
         120},
        {"reset_in_the_past", {{"secondary", window(44, 10080, now - 7200)}}, {}, 44, 10080, 0},
        {"window_in_info", {}, {{"secondary_window", window(5, 10080, now + 120)}}, 5, 10080, 2},
        {"payload_beats_info",
         {{"secondary", window(7, 10080, now + 60)}},
         {{"secondary", window(9, 10080, now + 60)}},
         7,
         10080,
         1},
    };
    for (const auto& c : cases) {
        LogTree own;
        QJsonObject line = tokenCount(own.iso("2026-07-14T09:00:00"), counts(10, 10, 0, 0),
                                      counts(10, 10, 0, 0), c.payloadLimits);
        if (!c.infoLimits.isEmpty()) {
            QJsonObject payload = line["payload"].toObject();
            QJsonObject info = payload["info"].toObject();
            info["rate_limits"] = c.infoLimits;
            payload["info"] = info;
            line["payload"] = payload;
        }
        own.write(".codex/sessions/r.jsonl", {line}, now - 3600);
        const CodexStatus status = readCodexLogs(own.path(".codex/sessions"), now, own.zone, pricing);
        EXPECT_EQ(status.weeklyPct, c.pct) << c.name;
        EXPECT_EQ(status.weeklyWindowMin, c.windowMin) << c.name;
        EXPECT_EQ(status.weeklyResetMin, c.resetMin) << c.name;
    }
}

TEST_F(CodexScannerTest, ServiceTiersAndFastTasks) {
    const struct {
        QJsonValue tier;
        bool fast;
    } tiers[] = {{"fast", true},
                 {"Priority", true},
                 {"PRIORITY", true},
                 {"flex", false},
                 {"", false},
                 {QJsonValue(), false},
                 {QJsonValue::Undefined, false},
                 {7, false}};
    for (const auto& c : tiers) {
        LogTree own;
        own.write(".codex/sessions/r.jsonl",
                  {taskStarted(own.iso("2026-07-14T09:00:00")),
                   serviceTier(own.iso("2026-07-14T09:01:00"), c.tier),
                   taskStarted(own.iso("2026-07-14T09:02:00"))},
                  now - 3600);
        const CodexStatus status = readCodexLogs(own.path(".codex/sessions"), now, own.zone, pricing);
        const QString label = QJsonDocument(QJsonArray{c.tier}).toJson(QJsonDocument::Compact);
        EXPECT_EQ(status.fastMode, c.fast) << label.toStdString();
        // The task before the settings line never counts.
        EXPECT_EQ(status.fastTaskSeq, c.fast ? qint64(own.at("2026-07-14T09:02:00") * 1000) : 0)
            << label.toStdString();
        EXPECT_EQ(status.lastActivityAt, qint64(now - 3600));
    }
}

TEST_F(CodexScannerTest, LatestSettingsAcrossFilesDecideFastMode) {
    tree.write(rollout("a"), {serviceTier(ts("2026-07-14T10:00:00"), "fast")}, now - 3600);
    tree.write(rollout("b"), {serviceTier(ts("2026-07-14T09:00:00"), "default")}, now - 3600);
    EXPECT_TRUE(scan().fastMode);
}

TEST_F(CodexScannerTest, FastUsageIsPricedOnThePriorityTier) {
    tree.write(rollout("a"),
               {turnContext(ts("2026-07-14T08:00:00"), "gpt-5-codex"),
                serviceTier(ts("2026-07-14T08:00:01"), "priority"),
                tokenCount(ts("2026-07-14T09:00:00"), counts(100, 100, 0, 0), counts(100, 100, 0, 0))},
               now - 3600);
    EXPECT_NEAR(scan().costToday.value_or(-1), 100 * 2.5 * M, 1e-15); // gpt-5* without own prices: × 2
}

TEST_F(CodexScannerTest, UnpricedUsage) {
    const struct {
        const char* name;
        QList<QVariant> lines;
    } cases[] = {
        {"before_any_turn_context",
         {tokenCount(ts("2026-07-14T09:00:00"), counts(10, 10, 0, 0), counts(10, 10, 0, 0))}},
        {"unknown_model",
         {turnContext(ts("2026-07-14T08:00:00"), "mystery-1"),
          tokenCount(ts("2026-07-14T09:00:00"), counts(10, 10, 0, 0), counts(10, 10, 0, 0))}},
    };
    for (const auto& c : cases) {
        LogTree own;
        own.write(".codex/sessions/r.jsonl", c.lines, now - 3600);
        const CodexStatus status = readCodexLogs(own.path(".codex/sessions"), now, own.zone, pricing);
        EXPECT_EQ(status.tokensToday, 10) << c.name;
        EXPECT_FALSE(status.costToday.has_value()) << c.name;
        EXPECT_FALSE(status.costComplete) << c.name;
    }
}

TEST_F(CodexScannerTest, FilesOlderThanYesterdayMorningAreNotRead) {
    const QList<QVariant> lines{
        turnContext(ts("2026-07-14T08:00:00"), "gpt-5"),
        tokenCount(ts("2026-07-14T09:00:00"), counts(10, 10, 0, 0), counts(10, 10, 0, 0))};
    tree.write(rollout("read"), lines, tree.at("2026-07-13T00:01:00"));
    tree.write(rollout("skipped"), lines, tree.at("2026-07-13T00:00:59"));
    const CodexStatus status = scan();
    EXPECT_EQ(status.tokensToday, 10);
    EXPECT_EQ(status.status, "offline");
    EXPECT_EQ(status.lastActivityAt, qint64(tree.at("2026-07-14T08:00:00")));
}

TEST_F(CodexScannerTest, NothingReadIsOfflineWithACompleteZeroCost) {
    const CodexStatus status = scan();
    EXPECT_EQ(status.status, "offline");
    EXPECT_EQ(status.tokensToday, 0);
    EXPECT_EQ(status.costToday, 0.0);
    EXPECT_TRUE(status.costComplete);
    EXPECT_EQ(status.weeklyPct, std::nullopt);
}

} // namespace
