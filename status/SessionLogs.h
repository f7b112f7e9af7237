#pragma once

#include <QString>

#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace glimmet {

// What a stat of a log file says about its content: equal stamps mean an unchanged file.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;

    bool operator==(const FileStamp&) const = default;
};

// One session log found under an agent's log folder.
struct LogFile {
    std::string path;
    double modified = 0; // epoch seconds, to the millisecond
    FileStamp stamp;
    std::int64_t changedNs = 0; // status change time: a chmod moves it, not the stamp
};

// Reads log files in chunks of a few MB cut at line feeds, so that memory follows the longest
// line rather than the largest file, and parses lines one at a time with the on-demand parser.
// A line that is not valid UTF-8 is parsed again with the invalid sequences replaced.
class LogReader {
public:
    static constexpr size_t chunkSize = size_t(2) << 20;

    // Reads `fd` from `offset`: `line(text)` for every non-empty line ended by a line feed,
    // then `rest(text)` for the bytes after the last line feed when there are any. Returns
    // the offset after the last line feed, or nothing when the file cannot be read.
    template <class Line, class Rest>
    std::optional<std::int64_t> read(int fd, std::int64_t offset, Line&& line, Rest&& rest);

    // The document of `line`, which lies in the chunk being read; valid until the next call.
    simdjson::simdjson_result<simdjson::ondemand::document> parse(std::string_view line);

private:
    void forEachLine(const char* begin, const char* end, auto&& line) {
        while (begin < end) {
            const char* newline = static_cast<const char*>(std::memchr(begin, '\n', size_t(end - begin)));
            const char* lineEnd = newline ? newline : end;
            if (lineEnd > begin)
                line(std::string_view(begin, size_t(lineEnd - begin)));
            begin = lineEnd + 1;
        }
    }

    std::unique_ptr<char[]> bytes; // capacity bytes, then simdjson::SIMDJSON_PADDING spare bytes
    size_t capacity = 0;
    simdjson::ondemand::parser parser;
    std::string repaired;
};

// Opens a log for reading without blocking on a FIFO; -1 when it is not a regular file.
int openLog(const std::string& path, FileStamp& stamp);
void closeLog(int fd);
// The byte at `offset` is a line feed.
bool lineFeedAt(int fd, std::int64_t offset);
ssize_t readAt(int fd, char* into, size_t size, std::int64_t offset);

template <class Line, class Rest>
std::optional<std::int64_t> LogReader::read(int fd, std::int64_t offset, Line&& line, Rest&& rest) {
    if (!bytes || capacity > chunkSize) {
        capacity = chunkSize;
        bytes.reset(new char[capacity + simdjson::SIMDJSON_PADDING]);
    }
    size_t held = 0; // bytes of an unfinished line at the start of the buffer
    for (;;) {
        if (held == capacity) { // one line longer than the buffer: make room for it
            std::unique_ptr<char[]> larger(new char[2 * capacity + simdjson::SIMDJSON_PADDING]);
            std::memcpy(larger.get(), bytes.get(), held);
            bytes = std::move(larger);
            capacity *= 2;
        }
        const ssize_t n = readAt(fd, bytes.get() + held, capacity - held, offset + std::int64_t(held));
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        char* begin = bytes.get();
        const char* last = static_cast<const char*>(::memrchr(begin + held, '\n', size_t(n)));
        held += size_t(n);
        std::memset(begin + held, 0, simdjson::SIMDJSON_PADDING); // what the parser may read past the data
        if (!last)
            continue;
        forEachLine(begin, last, line);
        const size_t used = size_t(last + 1 - begin);
        std::memmove(begin, last + 1, held - used);
        held -= used;
        offset += std::int64_t(used);
    }
    if (held > 0)
        rest(std::string_view(bytes.get(), held));
    if (parser.capacity() > chunkSize) // a very long line: do not keep its parser memory
        parser = simdjson::ondemand::parser();
    return offset;
}

// `text` equals the lower-case ASCII `lower`, ignoring the case of ASCII letters.
bool equalsIgnoringCase(std::string_view text, std::string_view lower);

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

// Readers of on-demand values that tolerate any type: a missing or mistyped value reads as
// absent (or 0 for counts, as does a negative count).
std::int64_t jsonCount(simdjson::ondemand::value& value);
std::optional<double> jsonNumber(simdjson::ondemand::value& value);
std::optional<std::string_view> jsonString(simdjson::ondemand::value& value);

// Saturating sum of token counts.
std::int64_t addCounts(std::int64_t a, std::int64_t b);

} // namespace glimmet
