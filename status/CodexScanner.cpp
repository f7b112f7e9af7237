#include "status/CodexScanner.h"

#include "common/Json.h"
#include "status/ClaudeScanner.h"
#include "status/LogTimestamp.h"
#include "status/ModelPricing.h"

#include <QJsonDocument>

#include <algorithm>
#include <map>

namespace glimmet {

namespace {

using simdjson::ondemand::value;

using Totals = CodexLogScan::Totals;

// The keys of one rollout line that the scanner reads.
struct CodexLine {
    double time = 0;
    bool turnContext = false;
    bool hasPayload = false;
    std::optional<std::string_view> payloadType;
    std::optional<std::string_view> model;
    std::optional<std::string_view> serviceTier;
    std::optional<Totals> total;
    std::optional<Totals> last;
    std::optional<std::string_view> payloadRateLimits;
    std::optional<std::string_view> infoRateLimits;
};

using Key = simdjson::ondemand::raw_json_string;
constexpr simdjson::error_code ok = simdjson::SUCCESS;

simdjson::error_code readTotals(value& v, std::optional<Totals>& out) {
    Totals totals;
    bool isObject = false;
    const auto error = forEachMember(
        v,
        [&totals](Key key, value& v) {
            if (key == "total_tokens")
                totals.total = jsonCount(v);
            else if (key == "input_tokens")
                totals.input = jsonCount(v);
            else if (key == "cached_input_tokens")
                totals.cached = jsonCount(v);
            else if (key == "output_tokens")
                totals.output = jsonCount(v);
            return ok;
        },
        &isObject);
    if (isObject)
        out = totals;
    return error;
}

// The raw text of an object value; absent for other values.
simdjson::error_code readRawObject(value& v, std::optional<std::string_view>& out) {
    simdjson::ondemand::object object;
    if (v.get_object().get(object))
        return ok;
    std::string_view raw;
    if (const auto error = object.raw_json().get(raw))
        return error;
    out = raw;
    return ok;
}

simdjson::error_code readPayload(value& payload, CodexLine& line) {
    return forEachMember(
        payload,
        [&line](Key key, value& v) {
            if (key == "type")
                line.payloadType = jsonString(v);
            else if (key == "model")
                line.model = jsonString(v);
            else if (key == "rate_limits")
                return readRawObject(v, line.payloadRateLimits);
            else if (key == "thread_settings")
                return forEachMember(v, [&line](Key key, value& v) {
                    if (key == "service_tier")
                        line.serviceTier = jsonString(v);
                    return ok;
                });
            else if (key == "info")
                return forEachMember(v, [&line](Key key, value& v) {
                    if (key == "total_token_usage")
                        return readTotals(v, line.total);
                    if (key == "last_token_usage")
                        return readTotals(v, line.last);
                    if (key == "rate_limits")
                        return readRawObject(v, line.infoRateLimits);
                    return ok;
                });
            return ok;
        },
        &line.hasPayload);
}

// Reads the line's keys; false when the line is not one whole JSON object.
bool readLine(simdjson::ondemand::document& document, CodexLine& line) {
    return forEachLineMember(document, [&line](Key key, value& v) {
        if (key == "timestamp") {
            const auto text = jsonString(v);
            line.time = text ? parseLogTimestamp(*text).value_or(0) : 0;
        } else if (key == "type") {
            line.turnContext = jsonString(v) == "turn_context";
        } else if (key == "payload") {
            return readPayload(v, line);
        }
        return ok;
    });
}

bool isFastTier(std::optional<std::string_view> tier) {
    return tier && (equalsIgnoringCase(*tier, "fast") || equalsIgnoringCase(*tier, "priority"));
}

} // namespace

CodexLogScan CodexLogScan::continued() const {
    CodexLogScan next;
    next.model = model;
    next.fileFast = fileFast;
    next.previousTotal = previousTotal;
    next.seenTotals = seenTotals;
    return next;
}

void scanCodexLine(CodexLogScan& scan, LogReader& reader, std::string_view text, const DayWindow& day) {
    auto parsed = reader.parse(text);
    if (parsed.error())
        return;
    CodexLine line;
    if (!readLine(parsed.value_unsafe(), line) || !line.hasPayload)
        return;
    const double t = line.time;

    if (line.turnContext) {
        if (line.model)
            scan.model = std::string(*line.model);
        scan.maxLineTime = std::max(scan.maxLineTime, t);
        return;
    }
    if (line.payloadType == "thread_settings_applied") {
        scan.fileFast = isFastTier(line.serviceTier);
        if (!scan.settings || t >= scan.settings->first)
            scan.settings = {t, scan.fileFast};
        return;
    }
    if (line.payloadType == "task_started") {
        scan.maxLineTime = std::max(scan.maxLineTime, t);
        if (scan.fileFast)
            scan.fastTaskSeq = std::max(scan.fastTaskSeq, truncatedInteger(t * 1000).value_or(0));
        return;
    }
    if (line.payloadType != "token_count")
        return;

    if (!line.total)
        return;
    const Totals& total = *line.total;
    const auto& previous = scan.previousTotal;
    // A running total seen before is an older snapshot written again: it adds nothing and the
    // total runs on from where it stood.
    auto& seen = scan.seenTotals;
    const auto at = std::lower_bound(seen.begin(), seen.end(), total);
    const bool repeated = at != seen.end() && *at == total;
    if (!repeated)
        seen.insert(at, total); // totals mostly grow: mostly at the end
    else if (previous && total != *previous)
        return;
    // A line without a time, or outside today, only sets where the total stands.
    if (!day.contains(t)) {
        scan.previousTotal = total;
        return;
    }
    // A total that went down started again (another session in the same file): the line's own
    // usage is its step, as it is for the first line of a file.
    const bool restart = !previous || total.total < previous->total;
    const Totals last = line.last.value_or(Totals{});
    const auto increase = [&](std::int64_t Totals::*key) {
        return restart ? last.*key : std::max<std::int64_t>(0, addCounts(total.*key, -((*previous).*key)));
    };
    const std::int64_t dTotal = increase(&Totals::total);
    if (dTotal >= 1) {
        scan.tokensToday = addCounts(scan.tokensToday, dTotal);
        const std::int64_t dInput = increase(&Totals::input);
        const std::int64_t dCached = increase(&Totals::cached);
        const std::pair<std::string, bool> rate{scan.model, scan.fileFast};
        auto it = std::find(scan.rates.begin(), scan.rates.end(), rate);
        if (it == scan.rates.end())
            it = scan.rates.insert(it, rate);
        scan.steps.push_back({std::uint32_t(it - scan.rates.begin()),
                              std::max<std::int64_t>(0, addCounts(dInput, -dCached)), dCached,
                              increase(&Totals::output)});

        const auto rateLimits = line.payloadRateLimits ? line.payloadRateLimits : line.infoRateLimits;
        if (rateLimits && (!scan.rateLimits || t >= scan.rateLimits->first))
            scan.rateLimits = {t, std::string(*rateLimits)};
    }
    scan.previousTotal = total;
}

CodexScanner::CodexScanner(QString dir)
    : dir(std::move(dir))
    , logs(this->dir) {}

CodexScanner::Totals CodexScanner::total(const std::vector<const KeptLog<CodexLogScan>*>& files,
                                         const ModelPricing& pricing) const {
    Totals totals;
    const std::pair<double, std::string>* rateLimits = nullptr;
    std::map<std::pair<std::string, bool>, std::optional<TokenPrice>> prices;
    std::vector<const std::optional<TokenPrice>*> rates;
    for (const KeptLog<CodexLogScan>* file : files) {
        for (const CodexLogScan* scan : {&file->lines, &file->tail}) {
            totals.maxLineTime = std::max(totals.maxLineTime, scan->maxLineTime);
            if (scan->settings && (!totals.settings || scan->settings->first >= totals.settings->first))
                totals.settings = scan->settings;
            totals.fastTaskSeq = std::max(totals.fastTaskSeq, scan->fastTaskSeq);
            totals.tokens = addCounts(totals.tokens, scan->tokensToday);
            if (scan->rateLimits && (!rateLimits || scan->rateLimits->first >= rateLimits->first))
                rateLimits = &*scan->rateLimits;

            rates.clear();
            for (const auto& rate : scan->rates) {
                auto it = prices.find(rate);
                if (it == prices.end())
                    it = prices.emplace(rate, pricing.price(QString::fromStdString(rate.first), rate.second))
                             .first;
                rates.push_back(&it->second);
            }
            // Each increase is priced and added on its own, in the order of the lines.
            for (const CodexStep& step : scan->steps) {
                const auto& price = *rates[step.rate];
                if (!price) {
                    totals.priced = false;
                    continue;
                }
                totals.cost += price->input * double(step.uncachedInput) +
                               price->cachedInput * double(step.cachedInput) +
                               price->output * double(step.output);
            }
        }
    }
    if (rateLimits)
        totals.weekly = codexWeeklyWindow(
            QJsonDocument::fromJson(QByteArray::fromStdString(rateLimits->second)).object());
    return totals;
}

CodexStatus CodexScanner::read(double now, const QTimeZone& zone, const ModelPricing& pricing) {
    const DayWindow day = todayWindow(now, zone);
    const auto walk = logs.update(day, day.todayStart - 86400, now,
                                  [&day](CodexLogScan& scan, LogReader& reader, std::string_view text) {
                                      scanCodexLine(scan, reader, text, day);
                                  });
    if (walk.changed || !totals || pricesSeen != pricing.generation()) {
        pricesSeen = pricing.generation();
        totals = total(walk.files, pricing);
    }

    CodexStatus status;
    if (const auto& window = totals->weekly) {
        status.weeklyPct = window->usedPercent;
        status.weeklyWindowMin = window->windowMinutes;
        if (window->resetsAt)
            status.weeklyResetMin =
                std::max<std::int64_t>(0, truncatedInteger((*window->resetsAt - now) / 60).value_or(0));
    }
    const double lastActivity = std::max(walk.maxFileTime, totals->maxLineTime);
    status.status = activityStatus(lastActivity, now);
    status.tokensToday = totals->tokens;
    status.costToday = totals->priced ? std::optional(totals->cost) : std::nullopt;
    status.costComplete = totals->priced;
    status.costCounted = totals->cost;
    status.lastActivityAt = truncatedInteger(lastActivity).value_or(0);
    status.fastMode = totals->settings ? totals->settings->second : false;
    status.fastTaskSeq = totals->fastTaskSeq;
    return status;
}

CodexStatus readCodexLogs(const QString& dir, double now, const QTimeZone& zone,
                          const ModelPricing& pricing) {
    return CodexScanner(dir).read(now, zone, pricing);
}

} // namespace glimmet
