#include "status/ClaudeScanner.h"

#include "common/Json.h"
#include "status/LogTimestamp.h"
#include "status/ModelPricing.h"
#include "status/StatusService.h"

#include <algorithm>
#include <charconv>
#include <deque>

namespace glimmet {

namespace {

using simdjson::ondemand::value;

// The keys of one log line that the scanner reads.
struct ClaudeLine {
    std::optional<double> time;
    std::string_view timestamp; // the raw string, empty when absent
    bool user = false;
    bool assistant = false;
    bool costState = false;
    std::optional<std::string_view> uuid;
    std::string_view session;
    std::optional<double> startTime; // of a cost-state line's session, epoch ms
    std::vector<std::pair<std::string, AgentCost>> modelUsage;
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

// A cost-state line's "modelUsage": running totals by model name.
simdjson::error_code readModelUsage(value& models, ClaudeLine& line) {
    simdjson::ondemand::object object;
    if (models.get_object().get(object))
        return ok;
    for (auto member : object) {
        simdjson::ondemand::field field;
        std::string_view model;
        if (const auto error = std::move(member).get(field))
            return error;
        if (const auto error = field.unescaped_key().get(model))
            return error;
        AgentCost figures;
        std::optional<double> cost;
        const auto error = forEachMember(field.value(), [&figures, &cost](Key key, value& v) {
            if (key == "costUSD")
                cost = jsonNumber(v);
            else if (key == "inputTokens" || key == "outputTokens" || key == "cacheReadInputTokens" ||
                     key == "cacheCreationInputTokens")
                figures.tokens = addCounts(figures.tokens, jsonCount(v));
            return ok;
        });
        if (error)
            return error;
        if (cost) {
            figures.cost = *cost;
            line.modelUsage.emplace_back(
                ModelPricing::normalised(QString::fromUtf8(model.data(), qsizetype(model.size())))
                    .toStdString(),
                figures);
        }
    }
    return ok;
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
            line.costState = type == "cost-state";
        } else if (key == "uuid") {
            line.uuid = jsonString(v);
        } else if (key == "sessionId") {
            line.session = jsonString(v).value_or(std::string_view());
        } else if (key == "startTime") {
            line.startTime = jsonNumber(v);
        } else if (key == "modelUsage") {
            return readModelUsage(v, line);
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

} // namespace

std::int64_t UsageEntry::total() const {
    return addCounts(addCounts(addCounts(addCounts(input, output), cacheWrite5m), cacheWrite1h), cacheRead);
}

void UsageEntries::store(std::string key, UsageEntry entry) {
    const auto [it, inserted] = byKey.try_emplace(std::move(key), entry);
    if (inserted)
        order.push_back(&*it);
    else if (it->second.total() < entry.total())
        it->second = std::move(entry);
}

ClaudeLogScan ClaudeLogScan::continued() const {
    ClaudeLogScan next;
    next.fileFast = fileFast;
    next.lastUserTime = lastUserTime;
    next.userSeen = userSeen;
    next.lastTime = lastTime;
    return next;
}

void AgentCosts::merge(const AgentCosts& other) {
    // Totals only grow: of two figures of one kind the larger is the later (a tie: more tokens).
    const auto later = [](std::optional<AgentCost>& mine, const std::optional<AgentCost>& theirs) {
        if (theirs &&
            (!mine || std::pair(mine->cost, mine->tokens) < std::pair(theirs->cost, theirs->tokens)))
            mine = theirs;
    };
    later(before, other.before);
    later(today, other.today);
    startedToday = startedToday || other.startedToday;
}

std::optional<AgentCost> AgentCosts::increase() const {
    if (!today || (!before && !startedToday))
        return std::nullopt;
    if (!before)
        return today;
    return AgentCost{std::max(0.0, today->cost - before->cost),
                     std::max<std::int64_t>(0, addCounts(today->tokens, -before->tokens))};
}

namespace {

// Keeps the running totals of a cost-state line as the session's figures before or on today,
// dated by the line before it (the line has no time of its own).
void readCostState(ClaudeLogScan& scan, ClaudeLine& line, const DayWindow& day) {
    if (!scan.lastTime || *scan.lastTime >= day.todayEnd)
        return;
    const bool today = day.contains(*scan.lastTime);
    const bool startedToday = line.startTime && *line.startTime / 1000 >= day.todayStart;
    for (auto& [model, figures] : line.modelUsage) {
        AgentCosts& costs = scan.agentCosts[{std::string(line.session), std::move(model)}];
        costs.merge({today ? std::nullopt : std::optional(figures),
                     today ? std::optional(figures) : std::nullopt, startedToday});
    }
}

} // namespace

void scanClaudeLine(ClaudeLogScan& scan, LogReader& reader, std::string_view text, const DayWindow& day) {
    auto parsed = reader.parse(text);
    if (parsed.error())
        return;
    ClaudeLine line;
    if (!readLine(parsed.value_unsafe(), line))
        return;
    const auto raiseTaskSeq = [&scan](double time) {
        scan.fastTaskSeq = std::max(scan.fastTaskSeq, truncatedInteger(time * 1000).value_or(0));
    };

    if (line.time)
        scan.lastTime = line.time;
    if (line.costState) {
        readCostState(scan, line, day);
        return;
    }
    if (line.time && (line.user || line.assistant))
        scan.maxLineTime = std::max(scan.maxLineTime, *line.time);
    if (line.time && line.user) {
        scan.lastUserTime = *line.time;
        scan.userSeen = true;
        if (scan.fileFast)
            raiseTaskSeq(*line.time);
    }
    if (!line.hasUsage)
        return;

    if (line.speed) {
        const bool fast = equalsIgnoringCase(*line.speed, "fast");
        const double speedTime = line.time.value_or(0);
        if (!scan.speed || speedTime >= scan.speed->first)
            scan.speed = {speedTime, fast};
        scan.fileFast = fast;
    }
    if (scan.userSeen && scan.fileFast)
        raiseTaskSeq(scan.lastUserTime);

    // A line without a time belongs to no day.
    if (!line.time || !day.contains(*line.time))
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
    entry.fast = scan.fileFast;
    entry.session = std::string(line.session);
    std::string key = dedupeKey(line, entry);
    scan.entries.store(std::move(key), std::move(entry));

    // Lines come mostly in time order: keep the list sorted as it grows.
    auto& times = scan.usageTimes;
    times.insert(std::upper_bound(times.begin(), times.end(), *line.time), *line.time);
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

ClaudeScanner::ClaudeScanner(QString dir)
    : dir(std::move(dir))
    , logs(this->dir) {}

ClaudeScanner::Totals ClaudeScanner::total(const std::vector<const KeptLog<ClaudeLogScan>*>& files,
                                           const ModelPricing& pricing) const {
    Totals totals;
    // Across files the largest total of a key wins too (the first stored on a tie).
    std::unordered_map<std::string_view, size_t> index;
    std::vector<const UsageEntry*> entries;
    for (const KeptLog<ClaudeLogScan>* file : files) {
        for (const ClaudeLogScan* scan : {&file->lines, &file->tail}) {
            totals.maxLineTime = std::max(totals.maxLineTime, scan->maxLineTime);
            if (scan->speed && (!totals.speed || scan->speed->first >= totals.speed->first))
                totals.speed = scan->speed;
            totals.fastTaskSeq = std::max(totals.fastTaskSeq, scan->fastTaskSeq);
            for (const UsageEntries::Node* node : scan->entries.inOrder()) {
                const auto [it, inserted] = index.try_emplace(node->first, entries.size());
                if (inserted)
                    entries.push_back(&node->second);
                else if (entries[it->second]->total() < node->second.total())
                    entries[it->second] = &node->second;
            }
        }
    }

    struct Price {
        const std::string* model;
        bool fast;
        std::optional<TokenPrice> price;
        std::string family; // the model as ModelPricing::normalised writes it
    };
    std::deque<Price> prices; // the few models of a day, looked up once each
    // Today's usage by session and model, at the table's prices where it has them.
    struct Group {
        std::int64_t tokens = 0;
        double cost = 0;
        bool unpriced = false;
    };
    std::map<std::pair<std::string_view, std::string_view>, Group> groups;
    Group* current = nullptr;
    std::pair<std::string_view, std::string_view> currentKey;
    for (const UsageEntry* entry : entries) {
        totals.tokens = addCounts(totals.tokens, entry->total());
        if (entry->explicitCost) {
            totals.cost += *entry->explicitCost;
            continue;
        }
        const Price* price = nullptr;
        if (entry->model) {
            auto it = std::find_if(prices.begin(), prices.end(), [entry](const Price& p) {
                return p.fast == entry->fast && *p.model == *entry->model;
            });
            if (it == prices.end()) {
                const QString model = QString::fromStdString(*entry->model);
                prices.push_back({&*entry->model, entry->fast, pricing.price(model, entry->fast),
                                  ModelPricing::normalised(model).toStdString()});
                it = prices.end() - 1; // references to the others stay valid
            }
            price = &*it;
        }
        // Entries of one session and model mostly follow each other.
        const std::pair<std::string_view, std::string_view> key{
            entry->session, price ? std::string_view(price->family) : std::string_view()};
        if (!current || key != currentKey)
            current = &groups[currentKey = key];
        Group& group = *current;
        group.tokens = addCounts(group.tokens, entry->total());
        if (price && price->price) {
            const TokenPrice& p = *price->price;
            group.cost += double(entry->input) * p.input + double(entry->output) * p.output +
                          double(entry->cacheWrite5m) * p.cacheWrite +
                          double(entry->cacheWrite1h) * p.cacheWrite1h +
                          double(entry->cacheRead) * p.cachedInput;
        } else if (entry->total() >= 1) {
            group.unpriced = true;
        }
    }

    // Where the table cannot price all of a session's usage of a model, Claude Code's own figure
    // for them takes its place whole, so that no token is priced twice. It prices them only
    // when it covers as many tokens as were counted; otherwise the larger of the two costs
    // stands as a lower bound.
    std::map<std::pair<std::string_view, std::string_view>, AgentCosts> agentCosts;
    for (const KeptLog<ClaudeLogScan>* file : files) {
        for (const ClaudeLogScan* scan : {&file->lines, &file->tail}) {
            for (const auto& [key, costs] : scan->agentCosts)
                agentCosts[{key.first, key.second}].merge(costs);
        }
    }
    for (const auto& [key, group] : groups) {
        if (!group.unpriced) {
            totals.cost += group.cost;
            continue;
        }
        const auto costs = agentCosts.find(key);
        const auto figure = costs != agentCosts.end() ? costs->second.increase() : std::nullopt;
        if (figure && figure->tokens >= group.tokens) {
            totals.cost += figure->cost;
        } else {
            totals.cost += std::max(group.cost, figure ? figure->cost : 0.0);
            totals.priced = false;
        }
    }
    return totals;
}

ClaudeStatus ClaudeScanner::read(double now, const QTimeZone& zone, const ModelPricing& pricing) {
    const DayWindow day = todayWindow(now, zone);
    const auto walk = logs.update(day, day.todayStart, now,
                                  [&day](ClaudeLogScan& scan, LogReader& reader, std::string_view text) {
                                      scanClaudeLine(scan, reader, text, day);
                                  });
    if (walk.changed || !totals || pricesSeen != pricing.generation()) {
        pricesSeen = pricing.generation();
        totals = total(walk.files, pricing);
    }

    // The five-hour window starts at the earliest usage line of the last five hours.
    std::optional<double> windowStart;
    for (const KeptLog<ClaudeLogScan>* file : walk.files) {
        for (const ClaudeLogScan* scan : {&file->lines, &file->tail}) {
            const auto& times = scan->usageTimes;
            const auto first = std::partition_point(times.begin(), times.end(),
                                                    [now](double t) { return !(now - t < 18000); });
            if (first != times.end() && (!windowStart || *first < *windowStart))
                windowStart = *first;
        }
    }

    ClaudeStatus status;
    const double lastActivity = std::max(walk.maxFileTime, totals->maxLineTime);
    status.status = activityStatus(lastActivity, now);
    status.tokensToday = totals->tokens;
    // A usage line stamped in the future (clock skew) must not make the window negative.
    status.sessionMin =
        windowStart ? std::max<std::int64_t>(0, truncatedInteger((now - *windowStart) / 60).value_or(0)) : 0;
    status.sessionWindowMin = 300;
    status.costToday = totals->priced ? std::optional(totals->cost) : std::nullopt;
    status.costComplete = totals->priced;
    status.costCounted = totals->cost;
    status.lastActivityAt = truncatedInteger(lastActivity).value_or(0);
    status.fastMode = totals->speed ? totals->speed->second : false;
    status.fastTaskSeq = totals->fastTaskSeq;
    return status;
}

ClaudeStatus readClaudeLogs(const QString& dir, double now, const QTimeZone& zone,
                            const ModelPricing& pricing) {
    return ClaudeScanner(dir).read(now, zone, pricing);
}

} // namespace glimmet
