#pragma once

#include "status/DayWindow.h"
#include "status/SessionLogs.h"
#include "status/Snapshot.h"

#include <QString>
#include <QTimeZone>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace glimmet {

class ModelPricing;

// Token increases counted today for one (model, fast) pair of a Codex rollout.
struct CodexTokens {
    std::int64_t uncachedInput = 0; // sum over steps of max(0, input - cached input)
    std::int64_t cachedInput = 0;
    std::int64_t output = 0;

    bool operator==(const CodexTokens&) const = default;
};

// What one rollout log contributes to today's Codex status. Independent of the other files,
// of the current time and of prices, so that it can be kept between scans.
struct CodexLogScan {
    double maxLineTime = 0;                          // latest turn context or task start
    std::optional<std::pair<double, bool>> settings; // latest service tier: (time, fast)
    std::int64_t fastTaskSeq = 0;                    // epoch ms of the latest fast task start
    std::int64_t tokensToday = 0;
    std::map<std::pair<std::string, bool>, CodexTokens> usage; // by (model, fast)
    std::optional<std::pair<double, std::string>> rateLimits;  // latest: (time, raw JSON object)
};

// Reads one rollout log held in `buffer`.
CodexLogScan scanCodexLog(const LogBuffer& buffer, const DayWindow& day, LogLineParser& parser);

// Codex's status from the rollout logs below `dir` at time `now`. Never fails: an
// unreadable tree reads as offline.
CodexStatus readCodexLogs(const QString& dir, double now, const QTimeZone& zone, const ModelPricing& pricing);

} // namespace glimmet
