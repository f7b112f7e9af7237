#include "status/ClaudeScanner.h"
#include "status/LogTree.h"
#include "status/ModelPricing.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

constexpr double M = 1e-6;
const double noTime = -1;
const std::optional<double> noCost; // the cost is null and incomplete

QJsonObject usage(qint64 input, qint64 output, qint64 cacheWrite = 0, qint64 cacheRead = 0) {
    return {{"input_tokens", input},
            {"output_tokens", output},
            {"cache_creation_input_tokens", cacheWrite},
            {"cache_read_input_tokens", cacheRead}};
}

QJsonObject with(QJsonObject object, const QString& key, const QJsonValue& value) {
    object[key] = value;
    return object;
}

QJsonObject assistant(double t, const QString& id, const QString& model, const QJsonObject& usage,
                      const QJsonObject& message = {}) {
    QJsonObject line{{"type", "assistant"},
                     {"message", with(with(with(message, "id", id), "model", model), "usage", usage)}};
    return t == noTime ? line : with(line, "timestamp", LogTree::iso(t));
}

// Claude Code's running totals of one model in session "s1", written without a time.
QJsonObject costState(double started, const QString& model, qint64 tokens, double dollars) {
    const QJsonObject usage{{"inputTokens", tokens - 85}, {"outputTokens", 85}, {"costUSD", dollars}};
    const QJsonObject line{{"type", "cost-state"}, {"sessionId", "s1"}, {"startTime", started * 1000}};
    return with(line, "modelUsage", QJsonObject{{model, usage}});
}

QJsonObject user(double t) {
    return {{"type", "user"}, {"timestamp", LogTree::iso(t)}, {"message", QJsonObject{{"role", "user"}}}};
}

struct File {
    QString path; // under .claude/projects
    double modifiedAgo;
    QList<QVariant> lines;
    bool lineFeedAtEnd = true;
};

// What a row checks; unset fields are not checked.
struct Expect {
    std::optional<qint64> tokens;
    std::optional<std::optional<double>> cost; // an inner nullopt: no cost, incomplete
    std::optional<double> counted;             // the cost of what could be priced
    std::optional<const char*> status;
    std::optional<double> lastActivity;
    std::optional<qint64> sessionMin;
    std::optional<bool> fastMode;
    std::optional<double> fastTaskAt;
};

struct Case {
    const char* name;
    std::vector<File> files;
    Expect expect;
};

TEST(ClaudeScanner, Rules) {
    LogTree tree;
    const double now = tree.at("2026-07-14T18:00:00");
    const auto at = [&tree](const char* local) { return tree.at(local); };
    const double t = at("2026-07-14T12:00:00");
    const QString sonnet = "claude-sonnet-4-5";
    const QByteArray good =
        QJsonDocument(assistant(t, "good", sonnet, usage(1, 0))).toJson(QJsonDocument::Compact);
    QByteArray invalidUtf8 =
        QJsonDocument(assistant(t, "utf8-\u00e9", sonnet, usage(2, 0))).toJson(QJsonDocument::Compact);
    invalidUtf8.replace("\xC3\xA9", "\xC3\x28");
    const QJsonObject split =
        with(usage(0, 0, 9999), "cache_creation",
             QJsonObject{{"ephemeral_5m_input_tokens", 1000}, {"ephemeral_1h_input_tokens", 2000}});
    const QJsonObject zeros =
        with(usage(0, 0, 5000), "cache_creation",
             QJsonObject{{"ephemeral_5m_input_tokens", 0}, {"ephemeral_1h_input_tokens", 0}});
    const QJsonObject oneHour =
        with(usage(0, 0, 4000), "cache_creation", QJsonObject{{"ephemeral_1h_input_tokens", 3}});
    QJsonObject byUuid = with(assistant(t, "", sonnet, usage(50, 0)), "uuid", "u-1");
    byUuid["message"] = QJsonObject{{"model", sonnet}, {"usage", usage(50, 0)}};
    QJsonObject anonymous = byUuid;
    anonymous.remove("uuid");
    const auto fast = [](QJsonObject line, const char* speed) {
        QJsonObject message = line["message"].toObject();
        message["usage"] = with(message["usage"].toObject(), "speed", speed);
        return with(line, "message", message);
    };

    // One recent file, and a line of one model's input tokens at `t`.
    const auto one = [](QList<QVariant> lines, double ago = 100, bool lineFeedAtEnd = true) {
        return std::vector<File>{{"a.jsonl", ago, std::move(lines), lineFeedAtEnd}};
    };
    const auto a = [&](const QString& model, qint64 input, const QJsonObject& message = {}) {
        return assistant(t, model, model, usage(input, 0), message); // the model is its id too
    };
    const auto s1 = [&](double t, const char* id, const QString& model) {
        return with(assistant(t, id, model, usage(1200, 85, 300, 4000)), "sessionId", "s1");
    };
    const double yesterday = at("2026-07-13T23:00:00");
    const QString opus55 = "claude-opus-5-5", opus46 = "claude-opus-4-6";
    const std::vector<Case> cases = {
        {"day_window_and_undated_lines",
         one({assistant(at("2026-07-14T00:00:30"), "first-minute", sonnet, usage(1000, 0)),
              assistant(at("2026-07-14T00:01:00"), "counted", sonnet, usage(100, 0)),
              assistant(at("2026-07-13T23:00:00"), "yesterday", sonnet, usage(10000, 0)),
              assistant(at("2026-07-15T00:00:00"), "tomorrow", sonnet, usage(20000, 0)),
              assistant(noTime, "undated", sonnet, usage(5, 0))},
             3600),
         {.tokens = 100, .lastActivity = at("2026-07-15T00:00:00")}},
        {"files_modified_before_00_01_are_walked_not_read",
         {{"a.jsonl", now - at("2026-07-14T00:00:30"), {assistant(t, "x", sonnet, usage(777, 0))}},
          {"b.jsonl", now - at("2026-07-13T22:00:00"), {assistant(t, "y", sonnet, usage(888, 0))}}},
         {.tokens = 0, .cost = 0.0, .status = "offline", .lastActivity = at("2026-07-14T00:00:30")}},
        {"dedupe_keeps_the_largest_total",
         {{"a.jsonl",
           100,
           {assistant(t, "grow", sonnet, usage(100, 0)), assistant(t, "grow", sonnet, usage(100, 300)),
            assistant(t, "shrink", sonnet, usage(400, 0)), assistant(t, "shrink", sonnet, usage(100, 0)),
            byUuid, byUuid, anonymous, anonymous, assistant(t, "", sonnet, usage(7, 0)),
            assistant(t, "", sonnet, usage(8, 0))}},
          {"b.jsonl", 100, {assistant(t, "grow", sonnet, usage(100, 200))}}},
         {.tokens = 400 + 400 + 50 + 50 + 7 + 8}},
        {"cache_writes_and_their_prices",
         one({assistant(t, "split", sonnet, split), assistant(t, "zeros", sonnet, zeros),
              assistant(t, "one-hour", sonnet, oneHour),
              assistant(t, "plain", sonnet, usage(100, 10, 0, 1000))}),
         {.tokens = 3000 + 5000 + 3 + 1110,
          .cost = (1000 * 3.75 + 2000 * 6) * M + 5000 * 3.75 * M + 3 * 6 * M +
                  (100 * 3 + 10 * 15 + 1000 * 0.3) * M}},
        {"line_cost_beats_message_cost",
         one({with(a("unknown", 10, {{"costUSD", 0.25}}), "costUSD", 0.5)}),
         {.cost = 0.5}},
        {"message_cost", one({a("unknown", 10, {{"costUSD", 0.25}})}), {.cost = 0.25}},
        {"unknown_model", one({a("unknown", 10)}), {.cost = noCost}},
        {"synthetic_without_tokens", one({a("<synthetic>", 0)}), {.cost = 0.0}},
        {"synthetic_with_tokens", one({a("<synthetic>", 10)}), {.cost = noCost}},
        {"priced_and_unpriced", one({a("claude-haiku-4-5", 10), a("gpt-4o", 1)}), {.cost = noCost}},
        {"own_cost_of_a_model_without_a_price", // its line half written
         one({s1(t, "m1", opus55), costState(t - 60, "claude-opus-5-5[1m]", 5585, 0.0088)}, 100, false),
         {.tokens = 5585, .cost = 0.0088}},
        {"own_cost_increase_since_the_last_figure_before_today",
         one({s1(yesterday, "m0", opus55), costState(yesterday, opus55, 5585, 0.0088), s1(t, "m1", opus55),
              costState(yesterday, opus55, 11170, 0.0176)}),
         {.tokens = 5585, .cost = 0.0088}},
        {"no_own_cost_without_a_baseline",
         one({s1(yesterday, "m0", opus55), s1(t, "m1", opus55), costState(yesterday, opus55, 11170, 0.0176)}),
         {.cost = noCost}},
        {"own_cost_behind_the_log_is_a_lower_bound",
         one({s1(t, "m1", opus55), costState(t, opus55, 5585, 0.0088), s1(t + 60, "m2", opus55)}),
         {.tokens = 11170, .cost = noCost, .counted = 0.0088}},
        {"own_cost_replaces_the_table_for_the_whole_model",
         one({s1(t, "m1", opus46), fast(s1(t + 1, "m2", opus46), "fast"), costState(t, opus46, 11170, 0.05)}),
         {.cost = 0.05}},
        {"19s_working", one({user(now - 19)}, 7200), {.status = "working"}},
        {"20s_idle", one({user(now - 20)}, 7200), {.status = "idle"}},
        {"1799s_idle", one({user(now - 1799)}, 7200), {.status = "idle"}},
        {"1800s_offline", one({user(now - 1800)}, 7200), {.status = "offline"}},
        {"no_logs", {}, {.tokens = 0, .cost = 0.0, .status = "offline", .lastActivity = 0}},
        {"five_hour_window_from_the_earliest_recent_usage",
         one({assistant(now - 6 * 3600, "a", sonnet, usage(1, 0)),
              assistant(now - 4 * 3600 - 30, "b", sonnet, usage(1, 0)),
              assistant(now - 3600, "c", sonnet, usage(1, 0)), user(now - 4.9 * 3600)},
             60),
         {.sessionMin = 240}},
        {"no_usage_in_five_hours",
         one({assistant(now - 5 * 3600, "a", sonnet, usage(1, 0))}, 60),
         {.sessionMin = 0}},
        {"usage_stamped_in_the_future",
         one({assistant(now + 600, "a", sonnet, usage(1, 0))}),
         {.sessionMin = 0}},
        {"fast_prompt_priced_at_fast_prices_which_sonnet_has_none_of",
         one({user(now - 600), fast(assistant(now - 595, "m1", sonnet, usage(1, 1)), "Fast")}),
         {.cost = noCost, .fastMode = true, .fastTaskAt = now - 600}},
        {"latest_speed_across_files_and_prompts_while_fast",
         {{"a.jsonl", 100, {user(now - 600), fast(assistant(now - 595, "m1", sonnet, usage(1, 1)), "fast")}},
          {"b.jsonl",
           100,
           {fast(assistant(now - 310, "m2", sonnet, usage(1, 1)), "fast"), user(now - 300),
            fast(assistant(now - 295, "m3", sonnet, usage(1, 1)), "standard"), user(now - 240)}}},
         {.fastMode = false, .fastTaskAt = now - 300}},
        {"broken_lines_skip_only_themselves",
         one({good, good.chopped(20), QByteArray("[1,2,3]"), QByteArray("\"text\""), good + " x", good + good,
              QByteArray("{\"type\":\"assistant\",\"message\":{\"usage\":{\"input_tokens\":256}}"),
              invalidUtf8,
              QJsonDocument(with(user(t), "content", QString(3 << 20, u'x'))).toJson(QJsonDocument::Compact),
              QByteArray("\r"), QByteArray("{}"), a(sonnet, -1000), // a negative count is none
              QJsonDocument(assistant(t, "last", sonnet, usage(4, 0))).toJson(QJsonDocument::Compact)}),
         {.tokens = 1 + 2 + 4}},
        {"a_last_line_without_its_line_feed_counts",
         {{"a.jsonl", 100, {a(sonnet, 9)}, false}},
         {.tokens = 9}},
        {"hidden_files_and_folders_only_jsonl",
         {{".hidden/a.jsonl", 100, {assistant(t, "a", sonnet, usage(1, 0))}},
          {"p/.b.jsonl", 100, {assistant(t, "b", sonnet, usage(2, 0))}},
          {"p/c.json", 100, {assistant(t, "c", sonnet, usage(4, 0))}},
          {"p/d.JSONL", 100, {assistant(t, "d", sonnet, usage(8, 0))}}},
         {.tokens = 3}},
    };
    for (const Case& c : cases) {
        LogTree own;
        for (const File& file : c.files) {
            own.write(".claude/projects/" + file.path, file.lines, now - file.modifiedAgo,
                      file.lineFeedAtEnd);
        }
        const ModelPricing pricing(own.home.path() + "/prices");
        const ClaudeStatus status = readClaudeLogs(own.path(".claude/projects"), now, own.zone, pricing);
        const Expect& e = c.expect;
        check(e.tokens, status.tokensToday, c.name);
        if (e.cost) {
            EXPECT_EQ(status.costComplete, e.cost->has_value()) << c.name;
            EXPECT_NEAR(status.costToday.value_or(-1), e.cost->value_or(-1), 1e-12) << c.name;
        }
        if (e.counted) {
            EXPECT_NEAR(status.costCounted, *e.counted, 1e-12) << c.name;
        }
        check(e.status, status.status, c.name);
        check(e.lastActivity.transform(whole), status.lastActivityAt, c.name);
        check(e.sessionMin, status.sessionMin, c.name);
        check(e.fastMode, status.fastMode, c.name);
        check(e.fastTaskAt.transform([](double t) { return whole(t * 1000); }), status.fastTaskSeq, c.name);
        EXPECT_EQ(status.sessionWindowMin, 300);
    }
}

TEST(ClaudeScanner, AFifoNamedLikeALogDoesNotStallTheScan) {
    LogTree tree;
    const double now = tree.at("2026-07-14T18:00:00");
    tree.write(".claude/projects/p/a.jsonl", {assistant(now - 60, "a", "claude-sonnet-4", usage(5, 0))},
               now - 60);
    ASSERT_EQ(::mkfifo(QFile::encodeName(tree.path(".claude/projects/p/b.jsonl")).constData(), 0600), 0);
    const ModelPricing pricing(tree.home.path() + "/prices");
    EXPECT_EQ(readClaudeLogs(tree.path(".claude/projects"), now, tree.zone, pricing).tokensToday, 5);
}

} // namespace
