#pragma once

#include "common/Clock.h"
#include "status/Snapshot.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace glimmet {

// The four providers' quota endpoints: each fetch reads the user's credential, sends one
// GET and turns the answer into a complete record, with percentages or a Chinese error
// text. Stateless; the fetches block the calling worker thread (never the main thread).
class QuotaEndpoints {
public:
    static constexpr double requestTimeout = 20; // seconds for a whole request

    static ProviderUsage fetchClaude(const Clock& clock);
    static ProviderUsage fetchCodex(const Clock& clock);
    static ProviderUsage fetchGrok(const Clock& clock);
    static ProviderUsage fetchKimi(const Clock& clock);

    // Absent when the body is not a JSON object.
    static std::optional<ProviderUsage> parseClaudeUsage(const QByteArray& body, double now);
    // Absent when the body is not an object with a "rate_limit" object.
    static std::optional<ProviderUsage> parseCodexUsage(const QByteArray& body, double now);
    // Absent without a credit percentage or for a period other than weekly.
    static std::optional<ProviderUsage> parseGrokUsage(const QByteArray& body, double now);
    // Absent without a usable overall quota.
    static std::optional<ProviderUsage> parseKimiUsage(const QByteArray& body, double now);

    // Percent used of a Kimi Code quota detail ("limit" with "used" or "remaining"), 0-100.
    static std::optional<double> percent(const QJsonObject& detail);
    // The first of "resetTime", "resetAt", "reset_time", "reset_at" present in `object`.
    static std::optional<QJsonValue> resetValue(const QJsonObject& object);

    // Printable ASCII only, trimmed; "unknown" when nothing is left.
    static QByteArray asciiHeaderValue(const QString& text);
    // The persistent id of this computer in ~/.kimi-code/device_id, created on first use.
    static QString kimiDeviceID();
};

} // namespace glimmet
