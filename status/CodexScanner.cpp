#include "status/CodexScanner.h"

#include "common/Json.h"
#include "status/ClaudeScanner.h"
#include "status/CodexWeeklyWindow.h"
#include "status/LogTimestamp.h"
#include "status/ModelPricing.h"

#include <QJsonDocument>

#include <algorithm>

namespace glimmet {

namespace {

using simdjson::ondemand::value;

struct Totals {
    std::int64_t total = 0, input = 0, cached = 0, output = 0;
};

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

CodexLogScan scanCodexLog(const LogBuffer& buffer, const DayWindow& day, LogLineParser& parser) {
    CodexLogScan scan;
    std::string model;
    bool fileFast = false;
    std::optional<Totals> previousTotal;

    buffer.forEachLine([&](std::string_view text) {
        auto parsed = parser.parse(buffer, text);
        if (parsed.error())
            return;
        CodexLine line;
        if (!readLine(parsed.value_unsafe(), line) || !line.hasPayload)
            return;
        const double t = line.time;

        if (line.turnContext) {
            if (line.model)
                model = std::string(*line.model);
            scan.maxLineTime = std::max(scan.maxLineTime, t);
            return;
        }
        if (line.payloadType == "thread_settings_applied") {
            fileFast = isFastTier(line.serviceTier);
            if (!scan.settings || t >= scan.settings->first)
                scan.settings = {t, fileFast};
            return;
        }
        if (line.payloadType == "task_started") {
            scan.maxLineTime = std::max(scan.maxLineTime, t);
            if (fileFast)
                scan.fastTaskSeq = std::max(scan.fastTaskSeq, truncatedInteger(t * 1000).value_or(0));
            return;
        }
        if (line.payloadType != "token_count")
            return;

        if (!day.contains(t)) {
            if (line.total)
                previousTotal = line.total;
            return;
        }
        if (!line.total)
            return;
        const Totals& total = *line.total;
        const Totals last = line.last.value_or(Totals{});
        const auto increase = [&](std::int64_t Totals::*key) {
            return previousTotal ? std::max<std::int64_t>(0, addCounts(total.*key, -((*previousTotal).*key)))
                                 : last.*key;
        };
        const std::int64_t dTotal = increase(&Totals::total);
        if (dTotal >= 1) {
            scan.tokensToday = addCounts(scan.tokensToday, dTotal);
            const std::int64_t dInput = increase(&Totals::input);
            const std::int64_t dCached = increase(&Totals::cached);
            CodexTokens& tokens = scan.usage[{model, fileFast}];
            tokens.uncachedInput =
                addCounts(tokens.uncachedInput, std::max<std::int64_t>(0, addCounts(dInput, -dCached)));
            tokens.cachedInput = addCounts(tokens.cachedInput, dCached);
            tokens.output = addCounts(tokens.output, increase(&Totals::output));

            const auto rateLimits = line.payloadRateLimits ? line.payloadRateLimits : line.infoRateLimits;
            if (rateLimits && (!scan.rateLimits || t >= scan.rateLimits->first))
                scan.rateLimits = {t, std::string(*rateLimits)};
        }
        previousTotal = total;
    });
    return scan;
}

CodexStatus readCodexLogs(const QString& dir, double now, const QTimeZone& zone,
                          const ModelPricing& pricing) {
    const DayWindow day = todayWindow(now, zone);
    double maxFileTime = 0;
    double maxLineTime = 0;
    std::optional<std::pair<double, bool>> settings;
    std::int64_t fastTaskSeq = 0;
    std::int64_t tokensToday = 0;
    std::map<std::pair<std::string, bool>, CodexTokens> usage;
    std::optional<std::pair<double, std::string>> rateLimits;

    LogBuffer buffer;
    LogLineParser parser;
    for (const LogFile& file : findSessionLogs(dir)) {
        maxFileTime = std::max(maxFileTime, file.modified);
        if (file.modified < day.todayStart - 86400 || !buffer.load(file.path))
            continue;
        CodexLogScan scan = scanCodexLog(buffer, day, parser);
        maxLineTime = std::max(maxLineTime, scan.maxLineTime);
        if (scan.settings && (!settings || scan.settings->first >= settings->first))
            settings = scan.settings;
        fastTaskSeq = std::max(fastTaskSeq, scan.fastTaskSeq);
        tokensToday = addCounts(tokensToday, scan.tokensToday);
        for (const auto& [key, tokens] : scan.usage) {
            CodexTokens& sum = usage[key];
            sum.uncachedInput = addCounts(sum.uncachedInput, tokens.uncachedInput);
            sum.cachedInput = addCounts(sum.cachedInput, tokens.cachedInput);
            sum.output = addCounts(sum.output, tokens.output);
        }
        if (scan.rateLimits && (!rateLimits || scan.rateLimits->first >= rateLimits->first))
            rateLimits = std::move(scan.rateLimits);
    }

    CodexStatus status;
    double cost = 0;
    bool priced = true;
    for (const auto& [key, tokens] : usage) {
        const auto price = pricing.price(QString::fromStdString(key.first), key.second);
        if (!price) {
            priced = false;
            continue;
        }
        cost += price->input * double(tokens.uncachedInput) +
                price->cachedInput * double(tokens.cachedInput) + price->output * double(tokens.output);
    }

    if (rateLimits) {
        const QJsonObject object =
            QJsonDocument::fromJson(QByteArray::fromStdString(rateLimits->second)).object();
        if (const auto window = codexWeeklyWindow(object)) {
            status.weeklyPct = window->usedPercent;
            status.weeklyWindowMin = window->windowMinutes;
            if (window->resetsAt)
                status.weeklyResetMin =
                    std::max<std::int64_t>(0, truncatedInteger((*window->resetsAt - now) / 60).value_or(0));
        }
    }
    const double lastActivity = std::max(maxFileTime, maxLineTime);
    status.status = activityStatus(lastActivity, now);
    status.tokensToday = tokensToday;
    status.costToday = priced ? std::optional(cost) : std::nullopt;
    status.costComplete = priced;
    status.lastActivityAt = truncatedInteger(lastActivity).value_or(0);
    status.fastMode = settings ? settings->second : false;
    status.fastTaskSeq = fastTaskSeq;
    return status;
}

} // namespace glimmet
