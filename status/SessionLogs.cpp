#include "status/SessionLogs.h"

#include "common/Json.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace glimmet {

int openLog(const std::string& path, FileStamp& stamp) {
    // Non-blocking, so that a FIFO named like a log cannot stall the scan.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    stamp = {st.st_dev, st.st_ino, std::int64_t(st.st_size),
             std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
    return fd;
}

void closeLog(int fd) {
    ::close(fd);
}

ssize_t readAt(int fd, char* into, size_t size, std::int64_t offset) {
    for (;;) {
        const ssize_t n = ::pread(fd, into, size, off_t(offset));
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

bool lineFeedAt(int fd, std::int64_t offset) {
    char byte = 0;
    return readAt(fd, &byte, 1, offset) == 1 && byte == '\n';
}

simdjson::simdjson_result<simdjson::ondemand::document> LogReader::parse(std::string_view line) {
    const size_t room = size_t(bytes.get() + capacity + simdjson::SIMDJSON_PADDING - line.data());
    auto document = parser.iterate(line.data(), line.size(), room);
    if (document.error() != simdjson::UTF8_ERROR)
        return document;
    const QByteArray valid = QString::fromUtf8(line.data(), qsizetype(line.size())).toUtf8();
    repaired.assign(valid.constData(), size_t(valid.size()));
    const size_t size = repaired.size();
    repaired.resize(size + simdjson::SIMDJSON_PADDING, '\0');
    return parser.iterate(repaired.data(), size, repaired.size());
}

std::int64_t jsonCount(simdjson::ondemand::value& value) {
    simdjson::ondemand::number number;
    if (value.get_number().get(number))
        return 0;
    switch (number.get_number_type()) {
    case simdjson::ondemand::number_type::signed_integer:
        return std::max<std::int64_t>(0, number.get_int64());
    case simdjson::ondemand::number_type::unsigned_integer:
        return number.get_uint64() > uint64_t(std::numeric_limits<std::int64_t>::max())
                   ? std::numeric_limits<std::int64_t>::max()
                   : std::int64_t(number.get_uint64());
    default:
        return std::max<std::int64_t>(0, truncatedInteger(number.get_double()).value_or(0));
    }
}

std::optional<double> jsonNumber(simdjson::ondemand::value& value) {
    double number = 0;
    if (value.get_double().get(number))
        return std::nullopt;
    return number;
}

std::optional<std::string_view> jsonString(simdjson::ondemand::value& value) {
    std::string_view text;
    if (value.get_string().get(text))
        return std::nullopt;
    return text;
}

bool equalsIgnoringCase(std::string_view text, std::string_view lower) {
    return std::equal(text.begin(), text.end(), lower.begin(), lower.end(),
                      [](char a, char b) { return (a >= 'A' && a <= 'Z' ? char(a + 32) : a) == b; });
}

std::int64_t addCounts(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    return sum;
}

} // namespace glimmet
