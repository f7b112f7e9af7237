#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace glimmet {

// Claude Code's part of the status document.
struct ClaudeStatus {
    QString status = QStringLiteral("offline"); // "working", "idle" or "offline"
    std::int64_t tokensToday = 0;
    std::int64_t sessionMin = 0;
    std::int64_t sessionWindowMin = 300;
    std::optional<double> fiveHourPct;
    std::optional<std::int64_t> fiveHourResetMin;
    std::optional<double> sevenDayPct;
    std::optional<std::int64_t> sevenDayResetMin;
    std::optional<double> fablePct;
    bool needsInput = false;
    std::optional<double> costToday; // absent when some of today's usage could not be priced
    bool costComplete = true;
    double costCounted = 0;          // the cost of what could be priced; not part of the document
    std::int64_t lastActivityAt = 0; // epoch seconds; 0 when none
    bool fastMode = false;
    std::int64_t fastTaskSeq = 0; // epoch milliseconds; 0 when none

    bool operator==(const ClaudeStatus&) const = default;
};

// Codex's part of the status document.
struct CodexStatus {
    QString status = QStringLiteral("offline");
    std::int64_t tokensToday = 0;
    std::optional<double> weeklyPct;
    std::optional<std::int64_t> weeklyWindowMin;
    std::optional<std::int64_t> weeklyResetMin;
    bool needsInput = false;
    std::optional<double> costToday;
    bool costComplete = true;
    double costCounted = 0;
    std::int64_t lastActivityAt = 0;
    bool fastMode = false;
    std::int64_t fastTaskSeq = 0;

    bool operator==(const CodexStatus&) const = default;
};

// The last quota reading of one provider; every value absent until a fetch succeeds.
struct ProviderUsage {
    std::optional<double> primaryPct;
    std::optional<std::int64_t> primaryResetMin;
    std::optional<double> weeklyPct;
    std::optional<std::int64_t> weeklyResetMin;
    std::optional<double> fablePct;
    std::optional<std::int64_t> fableResetMin;
    std::optional<QString> error;    // user-facing text of the last failure
    std::optional<double> fetchedAt; // epoch seconds of the last successful parse
    bool rateLimited = false;

    bool hasData() const { return primaryPct || weeklyPct || fablePct; }
    bool operator==(const ProviderUsage&) const = default;
};

// The status document the clock polls. A plain value; jsonData() is its wire form.
struct Snapshot {
    ClaudeStatus claude;
    CodexStatus codex;
    std::int64_t ts = 0;
    ProviderUsage grok;
    ProviderUsage kimi;
    bool musicPlaying = false;
    QString preferredAgent = QStringLiteral("codex");

    // Both agents offline, nothing counted, stamped `ts`.
    static Snapshot offline(std::int64_t ts);

    // Compact JSON with every key present (null for absent values); "{}" on failure.
    QByteArray jsonData() const;

    bool operator==(const Snapshot&) const = default;
};

// The last state-bearing hook event of an agent.
struct AgentEvent {
    QString state; // "working" or "idle"
    double at = 0; // epoch seconds of arrival

    bool operator==(const AgentEvent&) const = default;
};

} // namespace glimmet
