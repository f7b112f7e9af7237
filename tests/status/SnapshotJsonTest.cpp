#include "status/Snapshot.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cmath>

using namespace glimmet;

namespace {

QJsonObject parsed(const Snapshot& snapshot) {
    return QJsonDocument::fromJson(snapshot.jsonData()).object();
}

TEST(SnapshotJson, OfflineDocumentHasEveryKeyWithNulls) {
    const QJsonObject doc = parsed(Snapshot::offline(1'780'000'000));
    const QStringList keys = doc.keys();
    EXPECT_EQ(QSet<QString>(keys.begin(), keys.end()),
              (QSet<QString>{"ts", "music_playing", "preferred_agent", "claude", "codex", "grok", "kimi"}));
    EXPECT_EQ(doc["ts"].toInteger(), 1'780'000'000);
    EXPECT_EQ(doc["preferred_agent"].toString(), "codex");
    EXPECT_EQ(doc["music_playing"], false);

    const QJsonObject claude = doc["claude"].toObject();
    EXPECT_EQ(claude.size(), 15);
    EXPECT_EQ(claude["status"].toString(), "offline");
    EXPECT_EQ(claude["session_window_min"].toInteger(), 300);
    EXPECT_EQ(claude["cost_complete"], true);
    for (const char* key : {"five_hour_pct", "five_hour_reset_min", "seven_day_pct", "seven_day_reset_min",
                            "fable_pct", "cost_today_usd"})
        EXPECT_TRUE(claude[key].isNull()) << key;

    const QJsonObject codex = doc["codex"].toObject();
    EXPECT_EQ(codex.size(), 11);
    for (const char* key : {"weekly_pct", "weekly_window_min", "weekly_reset_min", "cost_today_usd"})
        EXPECT_TRUE(codex[key].isNull()) << key;
    for (const char* key : {"status", "tokens_today", "needs_input", "cost_complete", "last_activity_at",
                            "fast_mode", "fast_task_seq"})
        EXPECT_TRUE(codex.contains(key)) << key;

    const QJsonObject grok = doc["grok"].toObject();
    EXPECT_EQ(grok.keys(), QStringList({"weekly_pct", "weekly_reset_min"}));
    const QJsonObject kimi = doc["kimi"].toObject();
    EXPECT_EQ(kimi.keys(),
              QStringList({"five_hour_pct", "five_hour_reset_min", "weekly_pct", "weekly_reset_min"}));
    for (const QString& key : kimi.keys())
        EXPECT_TRUE(kimi[key].isNull());
}

TEST(SnapshotJson, IsCompact) {
    const QByteArray json = Snapshot::offline(1).jsonData();
    EXPECT_FALSE(json.contains(' '));
    EXPECT_FALSE(json.contains('\n'));
}

TEST(SnapshotJson, ValuesKeepFullPrecisionAndIntegerForm) {
    Snapshot s = Snapshot::offline(1'780'000'123);
    s.claude.costToday = 0.1 + 0.2;
    s.claude.tokensToday = 9'007'199'254'740'993; // beyond double precision
    s.claude.fastTaskSeq = 1'780'000'123'456;
    s.codex.weeklyPct = 33.333333333333336;
    s.kimi.primaryPct = 12;
    s.grok.weeklyResetMin = 4321;
    s.grok.primaryPct = 99; // never written
    s.musicPlaying = true;
    s.preferredAgent = "claude";
    const QByteArray json = s.jsonData();
    EXPECT_TRUE(json.contains("\"cost_today_usd\":0.30000000000000004")) << json.constData();
    EXPECT_TRUE(json.contains("\"tokens_today\":9007199254740993")) << json.constData();
    EXPECT_TRUE(json.contains("\"fast_task_seq\":1780000123456")) << json.constData();
    EXPECT_TRUE(json.contains("\"weekly_pct\":33.333333333333336")) << json.constData();
    EXPECT_TRUE(json.contains("\"grok\":{\"weekly_pct\":null,\"weekly_reset_min\":4321}"))
        << json.constData();
    EXPECT_TRUE(json.contains("\"music_playing\":true"));
    EXPECT_TRUE(json.contains("\"preferred_agent\":\"claude\""));
}

TEST(SnapshotJson, NonFiniteValueBecomesNullNotABrokenDocument) {
    Snapshot s = Snapshot::offline(1);
    s.claude.fiveHourPct = std::nan("");
    s.codex.costToday = INFINITY;
    const QJsonObject doc = parsed(s);
    ASSERT_FALSE(doc.isEmpty());
    EXPECT_TRUE(doc["claude"].toObject()["five_hour_pct"].isNull());
    EXPECT_TRUE(doc["codex"].toObject()["cost_today_usd"].isNull());
}

} // namespace
