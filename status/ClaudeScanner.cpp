#include "status/ClaudeScanner.h"

#include "common/Json.h"
#include "status/LogTimestamp.h"
#include "status/ModelPricing.h"
#include "status/StatusService.h"

#include <QHash>

#include <algorithm>
#include <charconv>

namespace glimmet {

namespace {

using simdjson::ondemand::value;

// The keys of one log line that the scanner reads.
struct ClaudeLine {
    std::optional<double> time;
    std::string_view timestamp; // the raw string, empty when absent
    bool user = false;
    bool assistant = false;
    std::optional<std::string_view> uuid;
    std::optional<double> cost;
    bool hasUsage = false;
    std::optional<std::string_view> messageId;
    std::optional<std::string_view> model;
    std::optional<double> messageCost;
    std::optional<std::string_view> speed;
    std::int64_t input = 0, output = 0, ephemeral5m = 0, ephemeral1h = 0, cacheCreation = 0, cacheRead = 0;
};

using Key = simdjson::ondemand::raw_json_string;
constexpr simdjson::error_code ok = simdjson::SUCCESS;

simdjson::error_code readUsage(value& usage, ClaudeLine& line) {
    return forEachMember(
        usage,
        [&line](Key key, value& v) {
            if (key == "input_tokens")
                line.input = jsonCount(v);
            else if (key == "output_tokens")
                line.output = jsonCount(v);
            else if (key == "cache_read_input_tokens")
                line.cacheRead = jsonCount(v);
            else if (key == "cache_creation_input_tokens")
                line.cacheCreation = jsonCount(v);
            else if (key == "speed")
                line.speed = jsonString(v);
            else if (key == "cache_creation")
                return forEachMember(v, [&line](Key key, value& v) {
                    if (key == "ephemeral_5m_input_tokens")
                        line.ephemeral5m = jsonCount(v);
                    else if (key == "ephemeral_1h_input_tokens")
                        line.ephemeral1h = jsonCount(v);
                    return ok;
                });
            return ok;
        },
        &line.hasUsage);
}

simdjson::error_code readMessage(value& message, ClaudeLine& line) {
    line.hasUsage = false;
    return forEachMember(message, [&line](Key key, value& v) {
        if (key == "id")
            line.messageId = jsonString(v);
        else if (key == "model")
            line.model = jsonString(v);
        else if (key == "costUSD")
            line.messageCost = jsonNumber(v);
        else if (key == "usage")
            return readUsage(v, line);
        return ok;
    });
}

// Reads the line's keys; false when the line is not one whole JSON object.
bool readLine(simdjson::ondemand::document& document, ClaudeLine& line) {
    return forEachLineMember(document, [&line](Key key, value& v) {
        if (key == "timestamp") {
            line.timestamp = jsonString(v).value_or(std::string_view());
            line.time = parseLogTimestamp(line.timestamp);
        } else if (key == "type") {
            const auto type = jsonString(v);
            line.user = type == "user";
            line.assistant = type == "assistant";
        } else if (key == "uuid") {
            line.uuid = jsonString(v);
        } else if (key == "costUSD") {
            line.cost = jsonNumber(v);
        } else if (key == "message") {
            return readMessage(v, line);
        }
        return ok;
    });
}

std::string dedupeKey(const ClaudeLine& line, const UsageEntry& entry) {
    if (line.messageId && !line.messageId->empty())
        return std::string(*line.messageId);
    if (!line.messageId && line.uuid && !line.uuid->empty())
        return std::string(*line.uuid);
    std::string key(line.timestamp);
    char digits[24];
    for (const std::int64_t count :
         {entry.input, entry.output, entry.cacheWrite5m, entry.cacheWrite1h, entry.cacheRead}) {
        key += ':';
        key.append(digits, std::to_chars(digits, digits + sizeof digits, count).ptr);
    }
    return key;
}

// Keeps the entry with the larger total; on a tie the one stored first.
void storeEntry(std::unordered_map<std::string, UsageEntry>& entries, std::string key, UsageEntry entry) {
    const auto [it, inserted] = entries.try_emplace(std::move(key), entry);
    if (!inserted && it->second.total() < entry.total())
        it->second = std::move(entry);
}

} // namespace

std::int64_t UsageEntry::total() const {
    return addCounts(addCounts(addCounts(addCounts(input, output), cacheWrite5m), cacheWrite1h), cacheRead);
}

ClaudeLogScan scanClaudeLog(const LogBuffer& buffer, const DayWindow& day, LogLineParser& parser) {
    ClaudeLogScan scan;
    bool fileFast = false;
    double lastUserTime = 0;
    bool userSeen = false;
    const auto raiseTaskSeq = [&scan](double time) {
        scan.fastTaskSeq = std::max(scan.fastTaskSeq, truncatedInteger(time * 1000).value_or(0));
    };

    buffer.forEachLine([&](std::string_view text) {
        auto parsed = parser.parse(buffer, text);
        if (parsed.error())
            return;
        ClaudeLine line;
        if (!readLine(parsed.value_unsafe(), line))
            return;

        if (line.time && (line.user || line.assistant))
            scan.maxLineTime = std::max(scan.maxLineTime, *line.time);
        if (line.time && line.user) {
            lastUserTime = *line.time;
            userSeen = true;
            if (fileFast)
                raiseTaskSeq(*line.time);
        }
        if (!line.hasUsage)
            return;

        if (line.speed) {
            const bool fast = equalsIgnoringCase(*line.speed, "fast");
            const double speedTime = line.time.value_or(0);
            if (!scan.speed || speedTime >= scan.speed->first)
                scan.speed = {speedTime, fast};
            fileFast = fast;
        }
        if (userSeen && fileFast)
            raiseTaskSeq(lastUserTime);

        if (line.time && !day.contains(*line.time))
            return;

        UsageEntry entry;
        entry.input = line.input;
        entry.output = line.output;
        entry.cacheWrite5m = line.ephemeral5m;
        entry.cacheWrite1h = line.ephemeral1h;
        if (addCounts(line.ephemeral5m, line.ephemeral1h) < 1)
            entry.cacheWrite5m = line.cacheCreation;
        entry.cacheRead = line.cacheRead;
        if (line.model && *line.model != "<synthetic>")
            entry.model = std::string(*line.model);
        entry.explicitCost = line.cost ? line.cost : line.messageCost;
        entry.fast = fileFast;
        storeEntry(scan.entries, dedupeKey(line, entry), std::move(entry));

        if (line.time)
            scan.usageTimes.push_back(*line.time);
    });
    return scan;
}

QString activityStatus(double lastActivity, double now) {
    if (lastActivity <= 0)
        return QStringLiteral("offline");
    const double age = now - lastActivity;
    if (age < StatusService::workingThreshold)
        return QStringLiteral("working");
    if (age < StatusService::idleThreshold)
        return QStringLiteral("idle");
    return QStringLiteral("offline");
}

ClaudeStatus readClaudeLogs(const QString& dir, double now, const QTimeZone& zone,
                            const ModelPricing& pricing) {
    const DayWindow day = todayWindow(now, zone);
    double maxFileTime = 0;
    double maxLineTime = 0;
    std::optional<std::pair<double, bool>> speed;
    std::int64_t fastTaskSeq = 0;
    std::optional<double> windowStart;
    std::unordered_map<std::string, UsageEntry> entries;

    LogBuffer buffer;
    LogLineParser parser;
    for (const LogFile& file : findSessionLogs(dir)) {
        maxFileTime = std::max(maxFileTime, file.modified);
        if (file.modified < day.todayStart || !buffer.load(file.path))
            continue;
        ClaudeLogScan scan = scanClaudeLog(buffer, day, parser);
        maxLineTime = std::max(maxLineTime, scan.maxLineTime);
        if (scan.speed && (!speed || scan.speed->first >= speed->first))
            speed = scan.speed;
        fastTaskSeq = std::max(fastTaskSeq, scan.fastTaskSeq);
        for (const double t : scan.usageTimes) {
            if (now - t < 18000 && (!windowStart || t < *windowStart))
                windowStart = t;
        }
        if (entries.empty())
            entries = std::move(scan.entries);
        else {
            for (auto& [key, entry] : scan.entries)
                storeEntry(entries, key, std::move(entry));
        }
    }

    ClaudeStatus status;
    double cost = 0;
    bool priced = true;
    QHash<QPair<QString, bool>, std::optional<TokenPrice>> prices;
    for (const auto& [key, entry] : entries) {
        status.tokensToday = addCounts(status.tokensToday, entry.total());
        if (entry.explicitCost) {
            cost += *entry.explicitCost;
            continue;
        }
        std::optional<TokenPrice> price;
        if (entry.model) {
            const QPair<QString, bool> priceKey{QString::fromStdString(*entry.model), entry.fast};
            auto it = prices.constFind(priceKey);
            if (it == prices.cend())
                it = prices.insert(priceKey, pricing.price(priceKey.first, priceKey.second));
            price = *it;
        }
        if (price) {
            cost += double(entry.input) * price->input + double(entry.output) * price->output +
                    double(entry.cacheWrite5m) * price->cacheWrite +
                    double(entry.cacheWrite1h) * price->cacheWrite1h +
                    double(entry.cacheRead) * price->cachedInput;
        } else if (entry.total() >= 1) {
            priced = false;
        }
    }

    const double lastActivity = std::max(maxFileTime, maxLineTime);
    status.status = activityStatus(lastActivity, now);
    // A usage line stamped in the future (clock skew) must not make the window negative.
    status.sessionMin =
        windowStart ? std::max<std::int64_t>(0, truncatedInteger((now - *windowStart) / 60).value_or(0)) : 0;
    status.sessionWindowMin = 300;
    status.costToday = priced ? std::optional(cost) : std::nullopt;
    status.costComplete = priced;
    status.lastActivityAt = truncatedInteger(lastActivity).value_or(0);
    status.fastMode = speed ? speed->second : false;
    status.fastTaskSeq = fastTaskSeq;
    return status;
}

} // namespace glimmet
