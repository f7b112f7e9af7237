#include "status/OtlpBatch.h"

#include "status/SessionLogs.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace glimmet {

namespace {

using simdjson::error_code;
using simdjson::ondemand::json_type;
using simdjson::ondemand::value;
using Key = simdjson::ondemand::raw_json_string;
constexpr error_code ok = simdjson::SUCCESS;

constexpr std::string_view claudePrefix = "claude_code.";
constexpr std::string_view codexPrefix = "codex.";

// Visits the elements of an array; null stands for an empty one.
template <class Visit> error_code forEachElement(value& v, Visit&& visit) {
    json_type type;
    if (const error_code error = v.type().get(type))
        return error;
    if (type == json_type::null)
        return ok;
    simdjson::ondemand::array array;
    if (const error_code error = v.get_array().get(array))
        return error;
    for (auto element : array) {
        value item;
        if (const error_code error = element.get(item))
            return error;
        if (const error_code error = visit(item))
            return error;
    }
    return ok;
}

// A number written as JSON number or as a decimal string (the OTLP JSON form of 64-bit integers).
std::optional<double> flexibleNumber(value& v) {
    json_type type;
    if (v.type().get(type))
        return std::nullopt;
    if (type == json_type::number) {
        const auto number = jsonNumber(v);
        return number && std::isfinite(*number) ? number : std::nullopt;
    }
    const auto text = type == json_type::string ? jsonString(v) : std::nullopt;
    if (!text)
        return std::nullopt;
    double parsed = 0;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), parsed);
    if (ec != std::errc() || end != text->data() + text->size() || !std::isfinite(parsed))
        return std::nullopt;
    return parsed;
}

// Nanoseconds since the epoch as the exporter wrote them ("1796576401306000000" or a number).
std::int64_t nanos(value& v) {
    json_type type;
    if (v.type().get(type))
        return 0;
    if (type == json_type::number)
        return std::max<std::int64_t>(0, jsonCount(v));
    const auto text = type == json_type::string ? jsonString(v) : std::nullopt;
    std::int64_t parsed = 0;
    if (!text || std::from_chars(text->data(), text->data() + text->size(), parsed).ec != std::errc())
        return 0;
    return std::max<std::int64_t>(0, parsed);
}

// An attribute's value: its text when a string, its number when a number or a numeric string.
struct AnyValue {
    std::string_view text;
    std::optional<double> number;
};

error_code readAnyValue(value& v, AnyValue& out) {
    return forEachMember(v, [&out](Key key, value& x) {
        if (key == "stringValue") {
            out.text = jsonString(x).value_or(std::string_view());
            double parsed = 0;
            const char* end = out.text.data() + out.text.size();
            if (const auto r = std::from_chars(out.text.data(), end, parsed);
                r.ec == std::errc() && r.ptr == end && std::isfinite(parsed))
                out.number = parsed;
        } else if (key == "intValue" || key == "doubleValue") {
            out.number = flexibleNumber(x);
        }
        return ok;
    });
}

// Calls `visit(key, value)` for every attribute of a key-value list.
template <class Visit> error_code forEachAttribute(value& list, Visit&& visit) {
    return forEachElement(list, [&visit](value& item) {
        std::string_view key;
        AnyValue any;
        const error_code error = forEachMember(item, [&](Key name, value& x) {
            if (name == "key")
                key = jsonString(x).value_or(std::string_view());
            else if (name == "value")
                return readAnyValue(x, any);
            return ok;
        });
        if (!error)
            visit(key, any);
        return error;
    });
}

std::int64_t count(const std::optional<double>& value) {
    return value && *value > 0 ? std::int64_t(std::min(*value, 9.0e18)) : 0;
}

// The attributes of a log record or data point that the bridge reads.
struct Fields {
    std::string_view eventName, session, conversation, requestId, model, kind, type;
    std::optional<double> sequence, cost;
    std::optional<double> input, output, cacheRead, cacheCreation, cache5m, cache1h, cached;

    void take(std::string_view key, const AnyValue& v) {
        static constexpr std::pair<std::string_view, std::string_view Fields::*> texts[] = {
            {"event.name", &Fields::eventName},
            {"session.id", &Fields::session},
            {"conversation.id", &Fields::conversation},
            {"request_id", &Fields::requestId},
            {"model", &Fields::model},
            {"event.kind", &Fields::kind},
            {"type", &Fields::type}};
        static constexpr std::pair<std::string_view, std::optional<double> Fields::*> numbers[] = {
            {"event.sequence", &Fields::sequence},
            {"cost_usd", &Fields::cost},
            {"input_tokens", &Fields::input},
            {"input_token_count", &Fields::input},
            {"output_tokens", &Fields::output},
            {"output_token_count", &Fields::output},
            {"cache_read_tokens", &Fields::cacheRead},
            {"cache_creation_tokens", &Fields::cacheCreation},
            {"cache_creation_5m_tokens", &Fields::cache5m},
            {"cache_creation_1h_tokens", &Fields::cache1h},
            {"cached_token_count", &Fields::cached}};
        for (const auto& [name, member] : texts) {
            if (key == name) {
                this->*member = v.text;
                return;
            }
        }
        for (const auto& [name, member] : numbers) {
            if (key == name) {
                this->*member = v.number;
                return;
            }
        }
    }
};

std::optional<AgentKind> agentOf(std::string_view name) {
    if (name.starts_with(claudePrefix))
        return AgentKind::Claude;
    if (name.starts_with(codexPrefix))
        return AgentKind::Codex;
    return std::nullopt;
}

double seconds(std::int64_t ns) {
    return double(ns) / 1e9;
}

// `name|id|sequence-or-stamp`, or `name|request id`; the parts identify one record.
std::string recordKey(std::string_view name, const Fields& f, std::int64_t stampNs) {
    const std::string_view id = f.session.empty() ? f.conversation : f.session;
    std::string key(name);
    key += '|';
    if (!id.empty() && (f.sequence || stampNs > 0)) {
        key += id;
        key += '|';
        key += f.sequence ? 's' + std::to_string(std::int64_t(*f.sequence)) : 't' + std::to_string(stampNs);
    } else {
        key += f.requestId;
        key += '|';
        key += std::to_string(stampNs);
    }
    return key;
}

// A log record of Claude Code or Codex, or nothing for records of other programs.
std::optional<OtlpRecord> logRecord(std::string_view body, const Fields& f, std::int64_t timeNs,
                                    std::int64_t observedNs) {
    const std::string_view name = agentOf(body) ? body : f.eventName;
    const auto agent = agentOf(name);
    if (!agent)
        return std::nullopt;
    OtlpRecord record;
    record.agent = *agent;
    const std::int64_t stamp = timeNs > 0 ? timeNs : observedNs;
    record.time = seconds(stamp);
    record.model = std::string(f.model);
    if (name == "claude_code.api_request") {
        record.usage = true;
        record.input = count(f.input);
        record.output = count(f.output);
        record.cacheRead = count(f.cacheRead);
        record.cacheWrite5m = count(f.cache5m);
        record.cacheWrite1h = count(f.cache1h);
        if (record.cacheWrite5m + record.cacheWrite1h == 0)
            record.cacheWrite5m = count(f.cacheCreation);
        if (f.cost && *f.cost >= 0)
            record.cost = f.cost;
    } else if (name == "codex.sse_event" && f.kind == "response.completed" && (f.input || f.output)) {
        record.usage = true;
        record.cacheRead = std::min(count(f.cached), count(f.input));
        record.input = count(f.input) - record.cacheRead;
        record.output = count(f.output);
    }
    if (record.usage)
        record.key = recordKey(name, f, stamp);
    return record;
}

// Visits the resource and the scope lists of every element of the top-level list `listKey`;
// `scopes(value, records)` reads one scope list. Records get their resource's host name.
template <class Scopes>
std::optional<OtlpBatch> readBatch(const QByteArray& body, std::string_view listKey,
                                   std::string_view scopesKey, Scopes&& scopes) {
    const simdjson::padded_string padded(body.constData(), size_t(body.size()));
    simdjson::ondemand::parser parser;
    simdjson::ondemand::document document;
    simdjson::ondemand::object root;
    if (parser.iterate(padded).get(document) || document.get_object().get(root))
        return std::nullopt;
    OtlpBatch batch;
    for (auto member : root) {
        simdjson::ondemand::field field;
        if (std::move(member).get(field))
            return std::nullopt;
        if (field.key() != listKey)
            continue;
        const error_code error = forEachElement(field.value(), [&](value& resourceItem) {
            std::string_view host;
            const size_t first = batch.records.size();
            const error_code error = forEachMember(resourceItem, [&](Key key, value& v) {
                if (key == "resource") {
                    return forEachMember(v, [&](Key key, value& r) {
                        if (key != "attributes")
                            return ok;
                        return forEachAttribute(r, [&host](std::string_view name, const AnyValue& any) {
                            if (name == "host.name")
                                host = any.text;
                        });
                    });
                }
                if (key == scopesKey)
                    return forEachElement(v, [&](value& scope) { return scopes(scope, batch); });
                return ok;
            });
            for (size_t i = first; i < batch.records.size(); ++i)
                batch.records[i].host = std::string(host);
            return error;
        });
        if (error)
            return std::nullopt;
    }
    return batch;
}

error_code readLogScope(value& scope, OtlpBatch& batch) {
    return forEachMember(scope, [&batch](Key key, value& v) {
        if (key != "logRecords")
            return ok;
        return forEachElement(v, [&batch](value& item) {
            Fields fields;
            std::string_view body;
            std::int64_t timeNs = 0, observedNs = 0;
            const error_code error = forEachMember(item, [&](Key key, value& x) {
                if (key == "timeUnixNano")
                    timeNs = nanos(x);
                else if (key == "observedTimeUnixNano")
                    observedNs = nanos(x);
                else if (key == "attributes")
                    return forEachAttribute(
                        x, [&fields](std::string_view name, const AnyValue& any) { fields.take(name, any); });
                else if (key == "body") {
                    AnyValue any;
                    if (const error_code error = readAnyValue(x, any))
                        return error;
                    body = any.text;
                }
                return ok;
            });
            if (error)
                return error;
            if (auto record = logRecord(body, fields, timeNs, observedNs))
                batch.records.push_back(std::move(*record));
            return ok;
        });
    });
}

// One data point of a sum; read before the metric's name may be known.
struct Point {
    Fields fields;
    std::int64_t startNs = 0, timeNs = 0;
    std::optional<double> value;
};

bool isDelta(value& v) {
    json_type type;
    if (v.type().get(type))
        return false;
    if (type == json_type::string)
        return jsonString(v) == "AGGREGATION_TEMPORALITY_DELTA";
    return jsonCount(v) == 1;
}

error_code readMetric(value& metric, OtlpBatch& batch) {
    std::string_view name;
    std::vector<Point> points;
    bool delta = false;
    const error_code error = forEachMember(metric, [&](Key key, value& v) {
        if (key == "name") {
            name = jsonString(v).value_or(std::string_view());
            return ok;
        }
        const bool sum = key == "sum";
        if (!sum && key != "gauge" && key != "histogram" && key != "exponentialHistogram" && key != "summary")
            return ok;
        return forEachMember(v, [&](Key key, value& x) {
            if (key == "aggregationTemporality") {
                delta = sum && isDelta(x);
                return ok;
            }
            if (key != "dataPoints")
                return ok;
            return forEachElement(x, [&](value& item) {
                Point& point = points.emplace_back();
                return forEachMember(item, [&point](Key key, value& p) {
                    if (key == "attributes")
                        return forEachAttribute(p, [&point](std::string_view name, const AnyValue& any) {
                            point.fields.take(name, any);
                        });
                    if (key == "startTimeUnixNano")
                        point.startNs = nanos(p);
                    else if (key == "timeUnixNano")
                        point.timeNs = nanos(p);
                    else if (key == "asDouble" || key == "asInt")
                        point.value = flexibleNumber(p);
                    return ok;
                });
            });
        });
    });
    if (error)
        return error;
    const auto agent = agentOf(name);
    if (!agent)
        return ok;
    const bool tokens = name == "claude_code.token.usage";
    const bool cost = name == "claude_code.cost.usage";
    for (const Point& point : points) {
        if ((tokens || cost) && !delta) {
            ++batch.rejectedPoints;
            continue;
        }
        if (!point.value || *point.value <= 0)
            continue;
        OtlpRecord record;
        record.agent = *agent;
        record.fromMetrics = true;
        record.time = seconds(point.timeNs);
        if (tokens || cost) {
            record.usage = true;
            record.model = std::string(point.fields.model);
            record.cost = cost ? *point.value : 0.0;
            if (tokens) {
                const std::string_view type = point.fields.type;
                std::int64_t& into = type == "input"       ? record.input
                                     : type == "output"    ? record.output
                                     : type == "cacheRead" ? record.cacheRead
                                                           : record.cacheWrite5m;
                into = count(point.value);
            }
            record.key = std::string(name) + '|' + std::string(point.fields.session) + '|' + record.model +
                         '|' + std::string(point.fields.type) + '|' + std::to_string(point.startNs) + '|' +
                         std::to_string(point.timeNs);
        }
        batch.records.push_back(std::move(record));
    }
    return ok;
}

error_code readMetricScope(value& scope, OtlpBatch& batch) {
    return forEachMember(scope, [&batch](Key key, value& v) {
        if (key != "metrics")
            return ok;
        return forEachElement(v, [&batch](value& metric) { return readMetric(metric, batch); });
    });
}

} // namespace

std::int64_t OtlpRecord::tokens() const {
    return addCounts(addCounts(addCounts(addCounts(input, output), cacheRead), cacheWrite5m), cacheWrite1h);
}

std::optional<OtlpBatch> OtlpBatch::fromLogs(const QByteArray& body) {
    return readBatch(body, "resourceLogs", "scopeLogs", readLogScope);
}

std::optional<OtlpBatch> OtlpBatch::fromMetrics(const QByteArray& body) {
    return readBatch(body, "resourceMetrics", "scopeMetrics", readMetricScope);
}

} // namespace glimmet
