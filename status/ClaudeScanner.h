#pragma once

#include "status/DayWindow.h"
#include "status/KeptLogs.h"
#include "status/SessionLogs.h"
#include "status/Snapshot.h"

#include <QString>
#include <QTimeZone>

#include <cstdint>
#include <map>
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
    std::string session; // the line's "sessionId", which Claude Code's own figures are kept by

    std::int64_t total() const;
    bool operator==(const UsageEntry&) const = default;
};

// Today's usage entries of some session logs by dedupe key, the largest total kept (the first
// stored on a tie), in the order in which their keys first appeared.
class UsageEntries {
public:
    using Node = std::pair<const std::string, UsageEntry>;

    UsageEntries() = default;
    UsageEntries(UsageEntries&&) = default;
    UsageEntries& operator=(UsageEntries&&) = default;

    void store(std::string key, UsageEntry entry);
    const std::vector<const Node*>& inOrder() const { return order; }

private:
    std::unordered_map<std::string, UsageEntry> byKey;
    std::vector<const Node*> order; // nodes of byKey, which never move
};

// Claude Code's own running totals of one model in one session, from its "cost-state" lines.
struct AgentCost {
    double cost = 0;         // US dollars
    std::int64_t tokens = 0; // input, output, cache-read and cache-write tokens

    bool operator==(const AgentCost&) const = default;
};

// The cost-state figures of one session and model that today's cost can draw on: the latest
// dated before today (the baseline of today's increase) and the latest dated today. A line
// without a time of its own is dated by the last dated line before it in the file.
struct AgentCosts {
    std::optional<AgentCost> before;
    std::optional<AgentCost> today;
    bool startedToday = false; // the session began today: its totals are today's alone

    void merge(const AgentCosts& other);
    // Today's increase; absent when it cannot be known (no baseline for an older session).
    std::optional<AgentCost> increase() const;
};

// What some consecutive lines of one session log contribute to today's Claude Code status,
// with the state needed to read the lines after them. Independent of the other files and
// of the current time, so that it can be kept between scans.
struct ClaudeLogScan {
    UsageEntries entries;
    double maxLineTime = 0;                       // latest "user" or "assistant" line
    std::optional<std::pair<double, bool>> speed; // latest speed line: (time, fast)
    std::int64_t fastTaskSeq = 0;                 // epoch ms of the latest fast prompt
    std::vector<double> usageTimes;               // times of today's usage lines, sorted
    // By session and model name (as ModelPricing::normalised writes it).
    std::map<std::pair<std::string, std::string>, AgentCosts> agentCosts;

    // Where the reading of the file stands.
    bool fileFast = false;
    double lastUserTime = 0;
    bool userSeen = false;
    std::optional<double> lastTime; // of the last dated line

    // An empty scan that goes on reading the same file.
    ClaudeLogScan continued() const;
};

// Reads one line of a session log into `scan`.
void scanClaudeLine(ClaudeLogScan& scan, LogReader& reader, std::string_view text, const DayWindow& day);

// Claude Code's status from the session logs below one folder: activity, today's tokens and
// cost, the five-hour window and fast mode. Keeps each file's results between reads and reads
// only what was appended since. Never fails: an unreadable tree reads as offline. Not
// thread-safe: the status service reads it on one scan at a time.
class ClaudeScanner {
public:
    explicit ClaudeScanner(QString dir);

    ClaudeStatus read(double now, const QTimeZone& zone, const ModelPricing& pricing);

private:
    // What the kept files give together; recomputed only when a file or a price changed.
    struct Totals {
        std::int64_t tokens = 0;
        double cost = 0; // of what could be priced
        bool priced = true;
        double maxLineTime = 0;
        std::optional<std::pair<double, bool>> speed;
        std::int64_t fastTaskSeq = 0;
    };
    Totals total(const std::vector<const KeptLog<ClaudeLogScan>*>& files, const ModelPricing& pricing) const;

    const QString dir;
    KeptLogs<ClaudeLogScan> logs;
    std::optional<Totals> totals;
    std::uint64_t pricesSeen = 0;
};

// One cold read of the session logs below `dir` at time `now`.
ClaudeStatus readClaudeLogs(const QString& dir, double now, const QTimeZone& zone,
                            const ModelPricing& pricing);

// Status from the age of the latest activity: working, idle or offline.
QString activityStatus(double lastActivity, double now);

} // namespace glimmet
