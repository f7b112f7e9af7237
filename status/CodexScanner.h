#pragma once

#include "status/CodexWeeklyWindow.h"
#include "status/DayWindow.h"
#include "status/KeptLogs.h"
#include "status/SessionLogs.h"
#include "status/Snapshot.h"

#include <QString>
#include <QTimeZone>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace glimmet {

class ModelPricing;

// The token increases of one counted token-count line of a Codex rollout.
struct CodexStep {
    std::uint32_t rate = 0;         // index into the scan's (model, fast) pairs
    std::int64_t uncachedInput = 0; // max(0, input - cached input)
    std::int64_t cachedInput = 0;
    std::int64_t output = 0;
};

// What some consecutive lines of one rollout contribute to today's Codex status, with the
// state needed to read the lines after them. Independent of the other files, of the current
// time and of prices, so that it can be kept between scans.
struct CodexLogScan {
    double maxLineTime = 0;                          // latest turn context or task start
    std::optional<std::pair<double, bool>> settings; // latest service tier: (time, fast)
    std::int64_t fastTaskSeq = 0;                    // epoch ms of the latest fast task start
    std::int64_t tokensToday = 0;
    std::vector<std::pair<std::string, bool>> rates;          // (model, fast) pairs of the steps
    std::vector<CodexStep> steps;                             // in file order, each priced on its own
    std::optional<std::pair<double, std::string>> rateLimits; // latest: (time, raw JSON object)

    // Where the reading of the file stands.
    struct Totals {
        std::int64_t total = 0, input = 0, cached = 0, output = 0;
        auto operator<=>(const Totals&) const = default;
    };
    std::string model;
    bool fileFast = false;
    std::optional<Totals> previousTotal;
    std::vector<Totals> seenTotals; // every running total of the file so far, sorted

    // An empty scan that goes on reading the same file.
    CodexLogScan continued() const;
};

// Reads one line of a rollout log into `scan`.
void scanCodexLine(CodexLogScan& scan, LogReader& reader, std::string_view text, const DayWindow& day);

// Codex's status from the rollout logs below one folder. Keeps each file's results between
// reads and reads only what was appended since. Never fails: an unreadable tree reads as
// offline. Not thread-safe: the status service reads it on one scan at a time.
class CodexScanner {
public:
    explicit CodexScanner(QString dir);

    CodexStatus read(double now, const QTimeZone& zone, const ModelPricing& pricing);

private:
    // What the kept files give together; recomputed only when a file or a price changed.
    struct Totals {
        std::int64_t tokens = 0;
        double cost = 0; // of what could be priced
        bool priced = true;
        double maxLineTime = 0;
        std::optional<std::pair<double, bool>> settings;
        std::int64_t fastTaskSeq = 0;
        std::optional<CodexWeeklyWindow> weekly;
    };
    Totals total(const std::vector<const KeptLog<CodexLogScan>*>& files, const ModelPricing& pricing) const;

    const QString dir;
    KeptLogs<CodexLogScan> logs;
    std::optional<Totals> totals;
    std::uint64_t pricesSeen = 0;
};

// One cold read of the rollout logs below `dir` at time `now`.
CodexStatus readCodexLogs(const QString& dir, double now, const QTimeZone& zone, const ModelPricing& pricing);

} // namespace glimmet
