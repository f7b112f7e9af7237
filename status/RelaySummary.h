#pragma once

#include "status/Snapshot.h"

#include <QByteArray>
#include <QString>
#include <QTimeZone>

#include <cstdint>
#include <optional>

namespace glimmet {

// One agent's part of a relay summary.
struct RelayAgent {
    QString status = QStringLiteral("offline"); // "working", "idle" or "offline"
    std::int64_t tokensToday = 0;
    std::optional<double> costToday; // absent when some of the day's usage could not be priced
    bool costComplete = true;
    std::int64_t lastActivityAt = 0; // epoch seconds; 0 when none

    bool operator==(const RelayAgent&) const = default;
};

// What `glimmet-bridge --relay` reports of the machine it runs on: its host name, its own
// calendar day and UTC offset, and each agent's state and figures for that day. The JSON keys
// are those of the status document.
struct RelaySummary {
    QString host;
    QString day; // the host's local date, "yyyy-MM-dd"
    int utcOffsetMin = 0;
    RelayAgent claude;
    RelayAgent codex;

    static RelaySummary make(const QString& host, double now, const QTimeZone& zone,
                             const ClaudeStatus& claude, const CodexStatus& codex);

    QByteArray jsonData() const;
    // A summary as a relay sent it; absent when the body is not one. Values out of range are
    // clamped, an unknown status reads as "offline", and a cost is complete only when present.
    static std::optional<RelaySummary> fromJson(const QByteArray& body);

    bool operator==(const RelaySummary&) const = default;
};

// The calendar date of `now` in `zone`, as "yyyy-MM-dd".
QString localDay(double now, const QTimeZone& zone);

} // namespace glimmet
