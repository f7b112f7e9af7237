#include "status/CodexScanner.h"
#include "status/CodexWeeklyWindow.h"
#include "status/LogTree.h"
#include "status/ModelPricing.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

QJsonObject counts(qint64 total, qint64 input, qint64 cached, qint64 output) {
    return {{"total_tokens", total},
            {"input_tokens", input},
            {"cached_input_tokens", cached},
            {"output_tokens", output}};
}

QJsonObject line(double t, const char* type, QJsonObject payload) {
    return {{"timestamp", LogTree::iso(t)}, {"type", type}, {"payload", payload}};
}

QJsonObject tokens(double t, const QJsonObject& total, const QJsonObject& last,
                   const QJsonObject& limits = {}, const QJsonObject& infoLimits = {}) {
    QJsonObject info{{"total_token_usage", total}, {"last_token_usage", last}};
    QJsonObject payload{{"type", "token_count"}, {"info", info}};
    if (!limits.isEmpty())
        payload["rate_limits"] = limits;
    if (!infoLimits.isEmpty())
        payload["info"] = QJsonObject{
            {"total_token_usage", total}, {"last_token_usage", last}, {"rate_limits", infoLimits}};
    return line(t, "event_msg", payload);
}

QJsonObject turn(double t, const char* model) {
    return line(t, "turn_context", {{"model", model}});
}

QJsonObject tier(double t, const QJsonValue& tier) {
    QJsonObject settings;
    if (!tier.isUndefined())
        settings["service_tier"] = tier;
    return line(t, "event_msg", {{"type", "thread_settings_applied"}, {"thread_settings", settings}});
}

QJsonObject taskStarted(double t) {
    return line(t, "event_msg", {{"type", "task_started"}});
}

QJsonObject window(double used, qint64 minutes, double resetsAt) {
    return {{"used_percent", used}, {"window_minutes", minutes}, {"resets_at", resetsAt}};
}

// Dollars per million tokens of gpt-5: 1.25 input, 0.125 cached input, 10 output; gpt-5-codex
// on the priority tier: twice as much.
constexpr double M = 1e-6;
const std::optional<double> noCost; // the cost is null and incomplete

struct Expect {
    std::optional<qint64> tokens;
    std::optional<std::optional<double>> cost;
    std::optional<std::optional<double>> weeklyPct;
    std::optional<qint64> weeklyWindowMin, weeklyResetMin;
    std::optional<bool> fastMode;
    std::optional<double> fastTaskAt, lastActivity;
};

struct Case {
    const char* name;
    std::vector<std::pair<double, QList<QVariant>>> files; // modification time, lines
    Expect expect;
};

TEST(CodexScanner, Rules) {
    LogTree tree;
    const ModelPricing pricing(tree.home.path() + "/prices");
    const auto at = [&tree](const char* local) { return tree.at(local); };
    const double now = at("2026-07-14T18:00:00"), t = at("2026-07-14T09:00:00"), m = now - 3600;
    const QJsonObject ten = counts(10, 10, 0, 0);
    const auto one = [&](QList<QVariant> lines) { // one file modified an hour ago
        return std::vector<std::pair<double, QList<QVariant>>>{{m, std::move(lines)}};
    };
    // Token counts of uncached input a second apart: the running totals and the lines' own usage.
    const auto run = [&](std::vector<qint64> totals, std::vector<qint64> last) {
        QList<QVariant> lines{turn(t, "gpt-5")};
        for (size_t i = 0; i < totals.size(); ++i)
            lines << tokens(t + double(i), counts(totals[i], totals[i], 0, 0),
                            counts(last[i], last[i], 0, 0));
        return one(lines);
    };
    const std::vector<Case> cases = {
        {"yesterday_sets_the_baseline",
         one({turn(at("2026-07-13T23:00:00"), "gpt-5"),
              tokens(at("2026-07-13T23:50:00"), counts(1000, 800, 100, 200), counts(1000, 800, 100, 200)),
              tokens(t, counts(1500, 1200, 300, 300), counts(500, 400, 200, 100))}),
         {.tokens = 500, .cost = (200 * 1.25 + 200 * 0.125 + 100 * 10) * M}},
        {"first_count_of_today_counts_its_last_usage",
         one({turn(t, "gpt-5"), tokens(t, counts(5000, 4000, 1000, 1000), counts(300, 200, 50, 100))}),
         {.tokens = 300, .cost = (150 * 1.25 + 50 * 0.125 + 100 * 10) * M}},
        // Cut from real rollouts: an older snapshot written again; two sessions in one file.
        {"an_older_snapshot_again_adds_nothing",
         run({3'000'000, 3'656'394, 3'000'000, 6'064'954, 3'656'394},
             {3'000'000, 656'394, 3'000'000, 2'408'560, 656'394}),
         {.tokens = 6'064'954}},
        {"two_sessions_in_one_file",
         run({1'500'000, 1'979'572, 42'976, 85'952}, {1'500'000, 479'572, 42'976, 42'976}),
         {.tokens = 2'065'524}},
        {"an_undated_count_only_sets_the_baseline",
         one({turn(t, "gpt-5"),
              QJsonObject{{"type", "event_msg"}, {"payload", tokens(t, ten, ten)["payload"]}},
              tokens(t + 1, counts(25, 25, 0, 0), ten)}),
         {.tokens = 15}},
        {"first_minute_of_the_day_is_a_baseline",
         one({turn(at("2026-07-14T00:00:10"), "gpt-5"), tokens(at("2026-07-14T00:00:30"), ten, ten),
              tokens(at("2026-07-14T00:02:00"), counts(60, 60, 0, 0), counts(50, 50, 0, 0))}),
         {.tokens = 50, .cost = 62.5 * M}},
        {"cached_above_input_charges_no_uncached_input",
         one({turn(t, "gpt-5"), tokens(t, counts(10, 5, 8, 0), counts(10, 5, 8, 0))}),
         {.tokens = 10, .cost = 1 * M}},
        {"each_increase_priced_in_order",
         one({turn(t, "gpt-5"), tokens(t, counts(27971, 26937, 9325, 1034), counts(27971, 26937, 9325, 1034)),
              tokens(t + 1, counts(71453, 62301, 11256, 9152), ten),
              tokens(t + 2, counts(186296, 169406, 18620, 16890), ten)}),
         {.cost = 359710 * M}}, // 33520.625 + 123212.625 + 202976.75
        {"fast_usage_on_the_priority_tier",
         one({turn(t, "gpt-5-codex"), tier(t, "priority"), tokens(t, ten, ten)}),
         {.cost = 10 * 2.5 * M}},
        {"count_before_any_turn_context", one({tokens(t, ten, ten)}), {.tokens = 10, .cost = noCost}},
        {"unknown_model", one({turn(t, "mystery-1"), tokens(t, ten, ten)}), {.tokens = 10, .cost = noCost}},
        {"zero_increase_leaves_cost_and_rate_limits",
         one({turn(t, "gpt-5"), tokens(t, ten, ten, {{"secondary", window(30, 10080, now + 600)}}),
              tokens(t + 60, ten, counts(0, 0, 0, 0), {{"secondary", window(90, 10080, now + 60)}})}),
         {.tokens = 10, .cost = 12.5 * M, .weeklyPct = 30, .weeklyResetMin = 10}},
        {"short_window_only",
         one({tokens(t, ten, ten, {{"primary", window(12, 300, now + 600)}})}),
         {.weeklyPct = std::optional<double>()}},
        {"weekly_secondary",
         one({tokens(
             t, ten,
             ten, {{"primary", window(12, 300, now + 600)}, {"secondary", window(44, 10080, now + 7200)}})}),
         {.weeklyPct = 44, .weeklyWindowMin = 10080, .weeklyResetMin = 120}},
        {"reset_in_the_past",
         one({tokens(t, ten, ten, {{"secondary", window(44, 10080, now - 7200)}})}),
         {.weeklyPct = 44, .weeklyResetMin = 0}},
        {"window_in_info",
         one({tokens(t, ten, ten, {}, {{"secondary_window", window(5, 10080, now + 120)}})}),
         {.weeklyPct = 5, .weeklyResetMin = 2}},
        {"payload_beats_info",
         one({tokens(t, ten, ten, {{"secondary", window(7, 10080, now + 60)}},
                     {{"secondary", window(9, 10080, now + 60)}})}),
         {.weeklyPct = 7}},
        {"latest_settings_across_files",
         {{m, {tier(at("2026-07-14T10:00:00"), "fast")}}, {m, {tier(at("2026-07-14T09:00:00"), "default")}}},
         {.fastMode = true}},
        {"files_older_than_yesterday_00_01_are_not_read",
         {{at("2026-07-13T00:01:00"), {turn(at("2026-07-14T08:00:00"), "gpt-5"), tokens(t, ten, ten)}},
          {at("2026-07-13T00:00:59"), {turn(at("2026-07-14T08:00:00"), "gpt-5"), tokens(t, ten, ten)}}},
         {.tokens = 10, .lastActivity = at("2026-07-14T08:00:00")}},
        {"nothing_read",
         {},
         {.tokens = 0, .cost = 0.0, .weeklyPct = std::optional<double>(), .lastActivity = 0}},
    };
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
    std::vector<Case> all = cases;
    for (const auto& c : tiers) // the task before the settings line never counts
        all.push_back({"service_tier",
                       one({taskStarted(t), tier(t + 60, c.tier), taskStarted(t + 120)}),
                       {.fastMode = c.fast, .fastTaskAt = c.fast ? t + 120 : 0, .lastActivity = m}});

    for (const Case& c : all) {
        LogTree own;
        int n = 0;
        // The last lines are half written (no line feed yet): read on from the state before them.
        for (const auto& [modified, lines] : c.files)
            own.write(QString(".codex/sessions/2026/07/14/r%1.jsonl").arg(n++), lines, modified, false);
        const CodexStatus status = readCodexLogs(own.path(".codex/sessions"), now, own.zone, pricing);
        const Expect& e = c.expect;
        check(e.tokens, status.tokensToday, c.name);
        if (e.cost) {
            EXPECT_EQ(status.costComplete, e.cost->has_value()) << c.name;
            EXPECT_NEAR(status.costToday.value_or(-1), e.cost->value_or(-1), 1e-12) << c.name;
        }
        check(e.weeklyPct, status.weeklyPct, c.name);
        check(e.weeklyWindowMin, status.weeklyWindowMin, c.name);
        check(e.weeklyResetMin, status.weeklyResetMin, c.name);
        check(e.fastMode, status.fastMode, c.name);
        check(e.fastTaskAt.transform([](double t) { return whole(t * 1000); }), status.fastTaskSeq, c.name);
        check(e.lastActivity.transform(whole), status.lastActivityAt, c.name);
        check(c.files.empty() ? std::optional("offline") : std::nullopt, status.status, c.name);
    }
}

TEST(CodexWeeklyWindow, WindowChoice) {
    const struct {
        const char* json;
        std::optional<CodexWeeklyWindow> expected;
    } cases[] = {
        {R"({"primary":{"used_percent":10,"window_minutes":300,"resets_at":100}})", std::nullopt},
        {R"({"primary":{"used_percent":10,"window_minutes":300},"secondary":{"used_percent":40,"window_minutes":10080,"resets_at":5000}})",
         CodexWeeklyWindow{40, 10080, 5000}},
        {R"({"primary":{"used_percent":7}})", CodexWeeklyWindow{7, std::nullopt, std::nullopt}},
        {R"({"primary":{"used_percent":1,"window_minutes":300},"secondary_window":{"used_percent":2,"window_minutes":20000,"reset_at":9}})",
         CodexWeeklyWindow{2, 20000, 9}},
        {R"({"primary_window":{"used_percent":3,"window_minutes":10080,"reset_at":8,"resets_at":7},"secondary":{"used_percent":4,"window_minutes":1}})",
         CodexWeeklyWindow{3, 10080, 7}},
        {R"({"primary":{"used_percent":"12","window_minutes":10080}})", std::nullopt},
        {R"({"primary":{"used_percent":5,"window_minutes":"10080","resets_at":"3"}})",
         CodexWeeklyWindow{5, std::nullopt, std::nullopt}},
        {R"({"primary":[],"secondary":null})", std::nullopt},
        {R"({})", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(codexWeeklyWindow(QJsonDocument::fromJson(c.json).object()), c.expected) << c.json;
}

} // namespace
