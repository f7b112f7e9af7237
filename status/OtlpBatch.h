#pragma once

#include <QByteArray>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace glimmet {

enum class AgentKind { Claude, Codex };

// One record of an agent's OpenTelemetry export that the bridge reads: any event of Claude
// Code ("claude_code.*") or Codex ("codex.*") tells when the agent was active; a Claude Code
// API request, a completed Codex response, or a Claude Code usage data point also carries
// tokens.
struct OtlpRecord {
    AgentKind agent = AgentKind::Claude;
    std::string host; // the resource's "host.name"; empty when it has none
    double time = 0;  // epoch seconds of the event; 0 when it carries none
    // The record's identity: the same record sent again has the same key. The session (or
    // conversation) with the record's sequence number (else its time stamp), else the request id.
    std::string key;
    bool usage = false;
    bool fromMetrics = false;
    // The tokens of a usage record, by kind; `input` excludes cached input.
    std::int64_t input = 0;
    std::int64_t output = 0;
    std::int64_t cacheRead = 0;
    std::int64_t cacheWrite5m = 0;
    std::int64_t cacheWrite1h = 0;
    std::optional<double> cost; // the agent's own figure in US dollars
    std::string model;

    std::int64_t tokens() const;
};

// The records of one OTLP/HTTP JSON export ("http/json"): a logs body (POST /v1/logs) or a
// metrics body (POST /v1/metrics). Only delta sums are read of metrics; other data points are
// counted as rejected.
struct OtlpBatch {
    std::vector<OtlpRecord> records;
    std::int64_t rejectedPoints = 0;

    // Absent when the body is not one JSON object of the kind.
    static std::optional<OtlpBatch> fromLogs(const QByteArray& body);
    static std::optional<OtlpBatch> fromMetrics(const QByteArray& body);
};

} // namespace glimmet
