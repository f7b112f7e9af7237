#include "status/Snapshot.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace glimmet {

namespace {

// Absent values stay in the document as null; non-finite doubles, which JSON cannot carry,
// are written as null too instead of failing the whole document.
QJsonValue json(const std::optional<double>& value) {
    return value ? QJsonValue(*value) : QJsonValue();
}

QJsonValue json(const std::optional<std::int64_t>& value) {
    return value ? QJsonValue(qint64(*value)) : QJsonValue();
}

// The keys both agents' objects carry.
template <class Agent> QJsonObject agentObject(const Agent& a) {
    return {
        {QStringLiteral("status"), a.status},
        {QStringLiteral("tokens_today"), qint64(a.tokensToday)},
        {QStringLiteral("needs_input"), a.needsInput},
        {QStringLiteral("cost_today_usd"), json(a.costToday)},
        {QStringLiteral("cost_complete"), a.costComplete},
        {QStringLiteral("last_activity_at"), qint64(a.lastActivityAt)},
        {QStringLiteral("fast_mode"), a.fastMode},
        {QStringLiteral("fast_task_seq"), qint64(a.fastTaskSeq)},
    };
}

QJsonObject claudeObject(const ClaudeStatus& c) {
    QJsonObject object = agentObject(c);
    object.insert(QStringLiteral("session_min"), qint64(c.sessionMin));
    object.insert(QStringLiteral("session_window_min"), qint64(c.sessionWindowMin));
    object.insert(QStringLiteral("five_hour_pct"), json(c.fiveHourPct));
    object.insert(QStringLiteral("five_hour_reset_min"), json(c.fiveHourResetMin));
    object.insert(QStringLiteral("seven_day_pct"), json(c.sevenDayPct));
    object.insert(QStringLiteral("seven_day_reset_min"), json(c.sevenDayResetMin));
    object.insert(QStringLiteral("fable_pct"), json(c.fablePct));
    return object;
}

QJsonObject codexObject(const CodexStatus& c) {
    QJsonObject object = agentObject(c);
    object.insert(QStringLiteral("weekly_pct"), json(c.weeklyPct));
    object.insert(QStringLiteral("weekly_window_min"), json(c.weeklyWindowMin));
    object.insert(QStringLiteral("weekly_reset_min"), json(c.weeklyResetMin));
    return object;
}

} // namespace

Snapshot Snapshot::offline(std::int64_t ts) {
    Snapshot snapshot;
    snapshot.ts = ts;
    return snapshot;
}

QByteArray Snapshot::jsonData() const {
    const QJsonObject document{
        {QStringLiteral("ts"), qint64(ts)},
        {QStringLiteral("music_playing"), musicPlaying},
        {QStringLiteral("preferred_agent"), preferredAgent},
        {QStringLiteral("claude"), claudeObject(claude)},
        {QStringLiteral("codex"), codexObject(codex)},
        {QStringLiteral("grok"),
         QJsonObject{
             {QStringLiteral("weekly_pct"), json(grok.weeklyPct)},
             {QStringLiteral("weekly_reset_min"), json(grok.weeklyResetMin)},
         }},
        {QStringLiteral("kimi"),
         QJsonObject{
             {QStringLiteral("five_hour_pct"), json(kimi.primaryPct)},
             {QStringLiteral("five_hour_reset_min"), json(kimi.primaryResetMin)},
             {QStringLiteral("weekly_pct"), json(kimi.weeklyPct)},
             {QStringLiteral("weekly_reset_min"), json(kimi.weeklyResetMin)},
         }},
    };
    const QByteArray bytes = QJsonDocument(document).toJson(QJsonDocument::Compact);
    return bytes.isEmpty() ? QByteArrayLiteral("{}") : bytes;
}

} // namespace glimmet
