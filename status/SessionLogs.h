#pragma once

#include <QString>

#include <simdjson.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace glimmet {

// One session log found under an agent's log folder.
struct LogFile {
    QString path;
    double modified = 0; // epoch seconds
};

// Every file named "*.jsonl" below `root` (hidden ones included, linked folders not
// entered), in walk order, with its modification time. Empty when `root` cannot be read.
std::vector<LogFile> findSessionLogs(const QString& root);

// The bytes of one log file, kept with the spare bytes the JSON parser reads past a line.
// Reused from file to file so that a scan allocates once.
class LogBuffer {
public:
    // Replaces the content with the file's bytes; false when it cannot be read.
    bool load(const QString& path);

    // Calls `visit(line)` for every non-empty line, split at line feeds.
    template <class Visit> void forEachLine(Visit&& visit) const {
        const char* p = bytes.data();
        const char* end = p + length;
        while (p < end) {
            const char* newline = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            const char* lineEnd = newline ? newline : end;
            if (lineEnd > p)
                visit(std::string_view(p, size_t(lineEnd - p)));
            p = lineEnd + 1;
        }
    }

    // Bytes readable from `line.data()` onward (the line, what follows it, and the padding).
    size_t capacityFrom(std::string_view line) const {
        return size_t(bytes.data() + bytes.size() - line.data());
    }

private:
    std::vector<char> bytes; // length bytes of content, then simdjson::SIMDJSON_PADDING spare bytes
    size_t length = 0;
};

// Parses log lines one at a time with the on-demand parser. A line that is not valid UTF-8
// is parsed again with the invalid sequences replaced.
class LogLineParser {
public:
    // The document of `line`, which lies in `buffer`; valid until the next call.
    simdjson::simdjson_result<simdjson::ondemand::document> parse(const LogBuffer& buffer,
                                                                  std::string_view line);

private:
    simdjson::ondemand::parser parser;
    std::string repaired;
};

// Calls `visit(key, value)` for every member of `value` when it is an object (and sets
// `*isObject`); other values visit nothing. Stops at the first parse error or at the first
// error the visitor returns.
template <class Visit>
simdjson::error_code forEachMember(simdjson::ondemand::value& value, Visit&& visit,
                                   bool* isObject = nullptr) {
    simdjson::ondemand::object object;
    const bool found = !value.get_object().get(object);
    if (isObject)
        *isObject = found;
    if (!found)
        return simdjson::SUCCESS;
    for (auto member : object) {
        simdjson::ondemand::field field;
        if (const auto error = std::move(member).get(field))
            return error;
        if (const simdjson::error_code error = visit(field.key(), field.value()))
            return error;
    }
    return simdjson::SUCCESS;
}

// Visits the members of a line that must be one whole JSON object; false when it is not.
template <class Visit> bool forEachLineMember(simdjson::ondemand::document& document, Visit&& visit) {
    simdjson::ondemand::object object;
    if (document.get_object().get(object))
        return false;
    for (auto member : object) {
        simdjson::ondemand::field field;
        if (std::move(member).get(field) || visit(field.key(), field.value()))
            return false;
    }
    // Anything after the object makes the line invalid.
    return document.current_location().error() == simdjson::OUT_OF_BOUNDS;
}

// `text` equals the lower-case ASCII `lower`, ignoring the case of ASCII letters.
bool equalsIgnoringCase(std::string_view text, std::string_view lower);

// Readers of on-demand values that tolerate any type: a missing or mistyped value reads as
// absent (or 0 for counts).
std::int64_t jsonCount(simdjson::ondemand::value& value);
std::optional<double> jsonNumber(simdjson::ondemand::value& value);
std::optional<std::string_view> jsonString(simdjson::ondemand::value& value);

// Saturating sum of token counts.
std::int64_t addCounts(std::int64_t a, std::int64_t b);

} // namespace glimmet
