#include "status/Snapshot.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cmath>

using namespace glimmet;

namespace {

TEST(SnapshotJson, OfflineDocumentIsCompactWithEveryKeyAndNulls) {
    const QByteArray json = Snapshot::offline(1'780'000'000).jsonData();
    EXPECT_FALSE(json.contains(' ') || json.contains('\n')) << json.constData();
    EXPECT_EQ(QJsonDocument::fromJson(json).object(), QJsonDocument::fromJson(R"({
        "claude": {"cost_complete": true, "cost_today_usd": null, "fable_pct": null, "fast_mode": false,
                   "fast_task_seq": 0, "five_hour_pct": null, "five_hour_reset_min": null, "last_activity_at": 0,
                   "needs_input": false, "session_min": 0, "session_window_min": 300, "seven_day_pct": null,
                   "seven_day_reset_min": null, "status": "offline", "tokens_today": 0},
        "codex": {"cost_complete": true, "cost_today_usd": null, "fast_mode": false, "fast_task_seq": 0,
                  "last_activity_at": 0, "needs_input": false, "status": "offline", "tokens_today": 0,
                  "weekly_pct": null, "weekly_reset_min": null, "weekly_window_min": null},
        "grok": {"weekly_pct": null, "weekly_reset_min": null},
        "kimi": {"five_hour_pct": null, "five_hour_reset_min": null, "weekly_pct": null, "weekly_reset_min": null},
        "music_playing": false, "preferred_agent": "codex", "ts": 1780000000})")
                                                          .object());
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
    for (const char* part : {R"("cost_today_usd":0.30000000000000004)", R"("tokens_today":9007199254740993)",
                             R"("fast_task_seq":1780000123456)", R"("weekly_pct":33.333333333333336)",
                             R"("grok":{"weekly_pct":null,"weekly_reset_min":4321})",
                             R"("music_playing":true)", R"("preferred_agent":"claude")"})
        EXPECT_TRUE(json.contains(part)) << part << " in " << json.constData();
}

TEST(SnapshotJson, NonFiniteValueBecomesNullNotABrokenDocument) {
    Snapshot s = Snapshot::offline(1);
    s.claude.fiveHourPct = std::nan("");
    s.codex.costToday = INFINITY;
    const QJsonObject doc = QJsonDocument::fromJson(s.jsonData()).object();
    ASSERT_FALSE(doc.isEmpty());
    EXPECT_TRUE(doc["claude"].toObject()["five_hour_pct"].isNull());
    EXPECT_TRUE(doc["codex"].toObject()["cost_today_usd"].isNull());
}

} // namespace
