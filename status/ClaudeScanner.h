#pragma once

#include "status/DayWindow.h"
#include "status/SessionLogs.h"
#include "status/Snapshot.h"

#include <QString>
#include <QTimeZone>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace glimmet {

class ModelPricing;

// One counted token-usage line of a Claude Code session log.
struct UsageEntry {
    std::int64_t input = 0;
    std::int64_t output = 0;
    std::int64_t cacheWrite5m = 0;
    std::int64_t cacheWrite1h = 0;
    std::int64_t cacheRead = 0;
    std::optional<std::string> model;
    bool fast = false;
    std::optional<double> explicitCost;

    std::int64_t total() const;
    bool operator==(const UsageEntry&) const = default;
};

// What one session log contributes to today's Claude Code status. Independent of the other
// files and of the current time, so that it can be kept between scans.
struct ClaudeLogScan {
    std::unordered_map<std::string, UsageEntry> entries; // by dedupe key, largest total kept
    double maxLineTime = 0;                              // latest "user" or "assistant" line
    std::optional<std::pair<double, bool>> speed;        // latest speed line: (time, fast)
    std::int64_t fastTaskSeq = 0;                        // epoch ms of the latest fast prompt
    std::vector<double> usageTimes;                      // times of today's usage lines
};

// Reads one session log held in `buffer`.
ClaudeLogScan scanClaudeLog(const LogBuffer& buffer, const DayWindow& day, LogLineParser& parser);

// Claude Code's status from the session logs below `dir` at time `now`: activity, today's
// tokens and cost, the five-hour window and fast mode. Never fails: an unreadable tree
// reads as offline.
ClaudeStatus readClaudeLogs(const QString& dir, double now, const QTimeZone& zone,
                            const ModelPricing& pricing);

// Status from the age of the latest activity: working, idle or offline.
QString activityStatus(double lastActivity, double now);

} // namespace glimmet
