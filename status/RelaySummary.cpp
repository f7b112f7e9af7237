#include "status/RelaySummary.h"

#include "common/Json.h"

#include <QDate>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace glimmet {

namespace {

constexpr qsizetype maxHostLength = 255;

template <class Status> RelayAgent relayAgent(const Status& status) {
    return {status.status, status.tokensToday, status.costToday, status.costComplete, status.lastActivityAt};
}

QJsonObject agentJson(const RelayAgent& agent) {
    return {
        {QStringLiteral("status"), agent.status},
        {QStringLiteral("tokens_today"), qint64(agent.tokensToday)},
        {QStringLiteral("cost_today_usd"), agent.costToday ? QJsonValue(*agent.costToday) : QJsonValue()},
        {QStringLiteral("cost_complete"), agent.costComplete},
        {QStringLiteral("last_activity_at"), qint64(agent.lastActivityAt)},
    };
}

RelayAgent agentFrom(const QJsonValue& value) {
    const QJsonObject object = value.toObject();
    RelayAgent agent;
    const QString status = object.value(u"status").toString();
    if (status == u"working" || status == u"idle")
        agent.status = status;
    agent.tokensToday = std::max<std::int64_t>(0, integer(object.value(u"tokens_today")).value_or(0));
    const auto cost = number(object.value(u"cost_today_usd"));
    agent.costComplete = cost && *cost >= 0 && object.value(u"cost_complete").toBool(true);
    agent.costToday = agent.costComplete ? cost : std::nullopt;
    agent.lastActivityAt = std::max<std::int64_t>(0, integer(object.value(u"last_activity_at")).value_or(0));
    return agent;
}

} // namespace

QString localDay(double now, const QTimeZone& zone) {
    return QDateTime::fromMSecsSinceEpoch(qint64(std::floor(now * 1000.0)), zone)
        .date()
        .toString(Qt::ISODate);
}

RelaySummary RelaySummary::make(const QString& host, double now, const QTimeZone& zone,
                                const ClaudeStatus& claude, const CodexStatus& codex) {
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(qint64(std::floor(now * 1000.0)), zone);
    return {host, local.date().toString(Qt::ISODate), local.offsetFromUtc() / 60, relayAgent(claude),
            relayAgent(codex)};
}

QByteArray RelaySummary::jsonData() const {
    const QJsonObject document{
        {QStringLiteral("host"), host},
        {QStringLiteral("day"), day},
        {QStringLiteral("utc_offset_min"), utcOffsetMin},
        {QStringLiteral("claude"), agentJson(claude)},
        {QStringLiteral("codex"), agentJson(codex)},
    };
    return QJsonDocument(document).toJson(QJsonDocument::Compact);
}

std::optional<RelaySummary> RelaySummary::fromJson(const QByteArray& body) {
    const auto object = parseObject(body);
    if (!object)
        return std::nullopt;
    RelaySummary summary;
    summary.host = object->value(u"host").toString().trimmed();
    summary.day = object->value(u"day").toString();
    if (summary.host.isEmpty() || summary.host.size() > maxHostLength ||
        !QDate::fromString(summary.day, Qt::ISODate).isValid())
        return std::nullopt;
    summary.utcOffsetMin = int(
        std::clamp<std::int64_t>(integer(object->value(u"utc_offset_min")).value_or(0), -24 * 60, 24 * 60));
    summary.claude = agentFrom(object->value(u"claude"));
    summary.codex = agentFrom(object->value(u"codex"));
    return summary;
}

} // namespace glimmet
