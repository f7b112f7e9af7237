#include "status/ClaudeScanner.h"
#include "status/LogTree.h"
#include "status/ModelPricing.h"

#include <QJsonArray>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

constexpr double M = 1e-6;

QJsonObject usage(qint64 input, qint64 output, qint64 cacheWrite = 0, qint64 cacheRead = 0) {
    return {{"input_tokens", input},
            {"output_tokens", output},
            {"cache_creation_input_tokens", cacheWrite},
            {"cache_read_input_tokens", cacheRead}};
}

QJsonObject assistant(const QString& timestamp, const QString& id, const QString& model,
                      const QJsonObject& usage) {
    QJsonObject message{{"id", id}, {"model", model}, {"usage", usage}};
    QJsonObject line{{"type", "assistant"}, {"message", message}};
    if (!timestamp.isEmpty())
        line["timestamp"] = timestamp;
    return line;
}

QJsonObject user(const QString& timestamp) {
    return {{"type", "user"}, {"timestamp", timestamp}, {"message", QJsonObject{{"role", "user"}}}};
}

QJsonObject withSpeed(QJsonObject line, const QString& speed) {
    QJsonObject message = line["message"].toObject();
    QJsonObject u = message["usage"].toObject();
    u["speed"] = speed;
    message["usage"] = u;
    line["message"] = message;
    return line;
}

class ClaudeScannerTest : public testing::Test {
protected:
    LogTree tree;
    ModelPricing pricing{tree.home.path() + "/prices"};
    double now = tree.at("2026-07-14T18:00:00");
    QString dir = tree.path(".claude/projects");

    ClaudeStatus scan() { return readClaudeLogs(dir, now, tree.zone, pricing); }
    QString log(const QString& name) { return ".claude/projects/-work-app/" + name + ".jsonl"; }
    QString ts(const char* local) { return tree.iso(local); }
};

TEST_F(ClaudeScannerTest, DayWindow) {
    const double old = tree.at("2026-07-14T10:00:00");
    tree.write(log("today"),
               {assistant(ts("2026-07-14T00:00:30"), "first-minute", "claude-sonnet-4", usage(1000, 0)),
                assistant(ts("2026-07-14T00:01:00"), "counted", "claude-sonnet-4", usage(100, 0)),
                assistant(ts("2026-07-13T23:00:00"), "yesterday-line", "claude-sonnet-4", usage(10000, 0)),
                assistant(ts("2026-07-15T00:00:00"), "tomorrow-line", "claude-sonnet-4", usage(20000, 0)),
                assistant("", "no-time", "claude-sonnet-4", usage(5, 0))},
               old);
    // Modified before 00:01: walked for its time but not read.
    tree.write(log("untouched"),
               {assistant(ts("2026-07-14T09:00:00"), "x", "claude-sonnet-4", usage(777, 0))},
               tree.at("2026-07-14T00:00:30"));
    tree.write(log("yesterday"),
               {assistant(ts("2026-07-14T09:00:00"), "y", "claude-sonnet-4", usage(888, 0))},
               tree.at("2026-07-13T22:00:00"));

    const ClaudeStatus status = scan();
    EXPECT_EQ(status.tokensToday, 105);
    EXPECT_EQ(status.lastActivityAt, qint64(tree.at("2026-07-15T00:00:00")))
        << "the latest line time counts as activity even when it is outside today";
}

TEST_F(ClaudeScannerTest, ModificationTimeAloneCountsAsActivity) {
    tree.write(log("quiet"), {QByteArray("not json")}, tree.at("2026-07-14T00:00:30"));
    const ClaudeStatus status = scan();
    EXPECT_EQ(status.lastActivityAt, qint64(tree.at("2026-07-14T00:00:30")));
    EXPECT_EQ(status.status, "offline");
    EXPECT_EQ(status.costToday, 0.0);
    EXPECT_TRUE(status.costComplete);
}

TEST_F(ClaudeScannerTest, Dedupe) {
    const QString t = ts("2026-07-14T12:00:00");
    QJsonObject byUuid = assistant(t, "", "claude-sonnet-4", usage(50, 0));
    QJsonObject message = byUuid["message"].toObject();
    message.remove("id");
    byUuid["message"] = message;
    byUuid["uuid"] = "u-1";
    QJsonObject anonymous = byUuid;
    anonymous.remove("uuid");
    anonymous.remove("timestamp");

    tree.write(log("a"),
               {
                   assistant(t, "grow", "claude-sonnet-4", usage(100, 0)),   // streaming: 100 ...
                   assistant(t, "grow", "claude-sonnet-4", usage(100, 300)), // ... then 400 wins
                   assistant(t, "shrink", "claude-sonnet-4", usage(400, 0)), // 400 first ...
                   assistant(t, "shrink", "claude-sonnet-4", usage(100, 0)), // ... stays
                   byUuid,
                   byUuid,
                   anonymous, // keyed by counts alone: equal lines count once
                   anonymous,
                   assistant(t, "", "claude-sonnet-4", usage(7, 0)), // empty id: keyed by time and counts
                   assistant(t, "", "claude-sonnet-4", usage(8, 0)),
               },
               now - 100);
    tree.write(log("b"), {assistant(t, "grow", "claude-sonnet-4", usage(100, 200))}, now - 100); // other file
    EXPECT_EQ(scan().tokensToday, 400 + 400 + 50 + 50 + 7 + 8);
}

TEST_F(ClaudeScannerTest, CacheCreationFallbackAndCost) {
    const QString t = ts("2026-07-14T12:00:00");
    QJsonObject split = usage(0, 0, 9999, 0);
    split["cache_creation"] =
        QJsonObject{{"ephemeral_5m_input_tokens", 1000}, {"ephemeral_1h_input_tokens", 2000}};
    QJsonObject zeros = usage(0, 0, 5000, 0);
    zeros["cache_creation"] = QJsonObject{{"ephemeral_5m_input_tokens", 0}, {"ephemeral_1h_input_tokens", 0}};
    QJsonObject oneHourOnly = usage(0, 0, 4000, 0);
    oneHourOnly["cache_creation"] = QJsonObject{{"ephemeral_1h_input_tokens", 3}};
    tree.write(log("a"),
               {assistant(t, "split", "claude-sonnet-4-5", split),
                assistant(t, "zeros", "claude-sonnet-4-5", zeros),
                assistant(t, "one-hour", "claude-sonnet-4-5", oneHourOnly),
                assistant(t, "plain", "claude-sonnet-4-5", usage(100, 10, 0, 1000))},
               now - 100);
    const ClaudeStatus status = scan();
    EXPECT_EQ(status.tokensToday, 3000 + 5000 + 3 + 1110);
    const double expected =
        (1000 * 3.75 + 2000 * 6) * M + 5000 * 3.75 * M + 3 * 6 * M + (100 * 3 + 10 * 15 + 1000 * 0.3) * M;
    ASSERT_TRUE(status.costToday.has_value());
    EXPECT_NEAR(*status.costToday, expected, 1e-12);
    EXPECT_TRUE(status.costComplete);
}

TEST_F(ClaudeScannerTest, ExplicitCostsAndPricingCompleteness) {
    const QString t = ts("2026-07-14T12:00:00");
    const auto withCost = [](QJsonObject line, double top, std::optional<double> inMessage) {
        if (top >= 0)
            line["costUSD"] = top;
        if (inMessage) {
            QJsonObject message = line["message"].toObject();
            message["costUSD"] = *inMessage;
            line["message"] = message;
        }
        return line;
    };
    const struct {
        const char* name;
        QList<QVariant> lines;
        std::optional<double> cost;
    } cases[] = {
        {"top_level_cost_wins", {withCost(assistant(t, "a", "unknown-model", usage(10, 0)), 0.5, 0.25)}, 0.5},
        {"message_cost", {withCost(assistant(t, "a", "unknown-model", usage(10, 0)), -1, 0.25)}, 0.25},
        {"unknown_model", {assistant(t, "a", "unknown-model", usage(10, 0))}, std::nullopt},
        {"synthetic_without_tokens", {assistant(t, "a", "<synthetic>", usage(0, 0))}, 0.0},
        {"synthetic_with_tokens", {assistant(t, "a", "<synthetic>", usage(10, 0))}, std::nullopt},
        {"priced_and_unpriced",
         {assistant(t, "a", "claude-haiku-4-5", usage(10, 0)), assistant(t, "b", "gpt-4o", usage(1, 0))},
         std::nullopt},
    };
    for (const auto& c : cases) {
        LogTree own;
        ModelPricing table(own.home.path() + "/prices");
        own.write(".claude/projects/p/s.jsonl", c.lines, now - 100);
        const ClaudeStatus status = readClaudeLogs(own.path(".claude/projects"), now, own.zone, table);
        EXPECT_EQ(status.costComplete, c.cost.has_value()) << c.name;
        if (c.cost)
            EXPECT_NEAR(status.costToday.value_or(-1), *c.cost, 1e-12) << c.name;
        else
            EXPECT_FALSE(status.costToday.has_value()) << c.name;
    }
}

TEST_F(ClaudeScannerTest, StatusThresholds) {
    const struct {
        double age;
        const char* status;
    } cases[] = {{0, "working"}, {19, "working"}, {20, "idle"}, {1799, "idle"}, {1800, "offline"}};
    for (const auto& c : cases) {
        LogTree own;
        own.write(".claude/projects/p/s.jsonl", {user(LogTree::iso(now - c.age))}, now - 7200);
        EXPECT_EQ(readClaudeLogs(own.path(".claude/projects"), now, own.zone, pricing).status, c.status)
            << c.age;
    }
    EXPECT_EQ(readClaudeLogs(tree.path("missing"), now, tree.zone, pricing).status, "offline");
}

TEST_F(ClaudeScannerTest, FiveHourWindow) {
    tree.write(log("a"),
               {assistant(LogTree::iso(now - 6 * 3600), "a", "claude-sonnet-4", usage(1, 0)),
                assistant(LogTree::iso(now - 4 * 3600 - 30), "b", "claude-sonnet-4", usage(1, 0)),
                assistant(LogTree::iso(now - 3600), "c", "claude-sonnet-4", usage(1, 0)),
                user(LogTree::iso(now - 4.9 * 3600))},
               now - 60);
    EXPECT_EQ(scan().sessionMin, 240);
    EXPECT_EQ(scan().sessionWindowMin, 300);

    LogTree quiet;
    quiet.write(".claude/projects/p/s.jsonl",
                {assistant(LogTree::iso(now - 5 * 3600), "a", "claude-sonnet-4", usage(1, 0))}, now - 60);
    EXPECT_EQ(readClaudeLogs(quiet.path(".claude/projects"), now, quiet.zone, pricing).sessionMin, 0);
}

TEST_F(ClaudeScannerTest, FastModeAndFastTaskSequence) {
    const double prompt = now - 600;
    tree.write(log("a"),
               {user(LogTree::iso(prompt)),
                withSpeed(assistant(LogTree::iso(prompt + 5), "m1", "claude-opus-4-1", usage(1, 1)), "Fast")},
               now - 100);
    ClaudeStatus status = scan();
    EXPECT_TRUE(status.fastMode);
    EXPECT_EQ(status.fastTaskSeq, qint64(prompt * 1000));

    // A later file whose latest speed line is standard turns fast mode off; its prompt while
    // it was still fast counts, the prompt after it does not.
    const double second = now - 300;
    tree.write(
        log("b"),
        {withSpeed(assistant(LogTree::iso(second - 10), "m2", "claude-opus-4-1", usage(1, 1)), "fast"),
         user(LogTree::iso(second)),
         withSpeed(assistant(LogTree::iso(second + 5), "m3", "claude-opus-4-1", usage(1, 1)), "standard"),
         user(LogTree::iso(second + 60))},
        now - 100);
    status = scan();
    EXPECT_FALSE(status.fastMode);
    EXPECT_EQ(status.fastTaskSeq, qint64(second * 1000));
}

TEST_F(ClaudeScannerTest, BrokenLinesSkipOnlyThemselves) {
    const QString t = ts("2026-07-14T12:00:00");
    const auto line = [&](const QString& id, qint64 tokens) {
        return QJsonDocument(assistant(t, id, "claude-sonnet-4", usage(tokens, 0)))
            .toJson(QJsonDocument::Compact);
    };
    QByteArray invalidUtf8 = line("utf8-\u00e9", 2);
    invalidUtf8.replace("utf8-\xC3\xA9", "utf8-\xC3\x28"); // an invalid sequence inside the id
    ASSERT_TRUE(invalidUtf8.contains("\xC3\x28"));
    const QByteArray huge =
        QJsonDocument(QJsonObject{{"type", "user"},
                                  {"message", QJsonObject{{"content", QString(3 * 1024 * 1024, u'x')}}},
                                  {"timestamp", t}})
            .toJson(QJsonDocument::Compact);
    tree.write(log("a"),
               {line("ok", 1), line("truncated", 16).chopped(20), QByteArray("[1,2,3]"),
                QByteArray("\"text\""), line("trailing", 32) + " x", line("two", 64) + line("objects", 128),
                QByteArray("{\"type\":\"assistant\",\"message\":{\"usage\":{\"input_tokens\":256}}"),
                invalidUtf8, huge, QByteArray("\r"), QByteArray("{}"), line("last", 4)},
               now - 100);
    EXPECT_EQ(scan().tokensToday, 1 + 2 + 4);
}

TEST_F(ClaudeScannerTest, HiddenFilesAndFoldersAreWalked) {
    const QString t = ts("2026-07-14T12:00:00");
    tree.write(".claude/projects/.hidden/a.jsonl", {assistant(t, "a", "claude-sonnet-4", usage(1, 0))},
               now - 100);
    tree.write(".claude/projects/p/.b.jsonl", {assistant(t, "b", "claude-sonnet-4", usage(2, 0))}, now - 100);
    tree.write(".claude/projects/p/c.json", {assistant(t, "c", "claude-sonnet-4", usage(4, 0))}, now - 100);
    tree.write(".claude/projects/p/d.JSONL", {assistant(t, "d", "claude-sonnet-4", usage(8, 0))}, now - 100);
    EXPECT_EQ(scan().tokensToday, 3);
}

} // namespace
