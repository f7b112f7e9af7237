#include "monitors/NetCounterSource.h"

#include <QFile>

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace glimmet {

namespace {

bool isCountedInterface(std::string_view name) {
    return name.starts_with("en") || name.starts_with("eth") || name.starts_with("wl");
}

std::string_view trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    return first == std::string_view::npos ? std::string_view()
                                           : text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

// The `index`th whitespace-separated number of `fields`.
std::optional<std::uint64_t> field(std::string_view fields, int index) {
    for (int i = 0;; ++i) {
        const size_t start = fields.find_first_not_of(' ');
        if (start == std::string_view::npos)
            return std::nullopt;
        fields.remove_prefix(start);
        const size_t end = std::min(fields.find(' '), fields.size());
        if (i == index) {
            std::uint64_t value = 0;
            const auto [rest, error] = std::from_chars(fields.data(), fields.data() + end, value);
            return error == std::errc() && rest == fields.data() + end ? std::optional(value) : std::nullopt;
        }
        fields.remove_prefix(end);
    }
}

} // namespace

ProcNetCounterSource::ProcNetCounterSource(QString path)
    : path(QFile::encodeName(path)) {}

ProcNetCounterSource::~ProcNetCounterSource() {
    if (fd >= 0)
        ::close(fd);
}

std::optional<NetCounters> ProcNetCounterSource::counters() {
    if (fd < 0)
        fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    std::string text;
    char chunk[16384];
    while (fd >= 0) {
        const ssize_t n = ::pread(fd, chunk, sizeof chunk, off_t(text.size()));
        if (n >= 0)
            text.append(chunk, size_t(n));
        if (n >= 0 && size_t(n) < sizeof chunk) // the end: a short read of a generated file
            break;
        if (n < 0 && errno != EINTR) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0)
        return std::nullopt;
    // "  eth0: RX-bytes packets errs drop fifo frame compressed multicast TX-bytes ..."; the two
    // header lines have no colon.
    NetCounters total;
    for (std::string_view rest = text; !rest.empty();) {
        const size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || !isCountedInterface(trimmed(line.substr(0, colon))))
            continue;
        const auto rx = field(line.substr(colon + 1), 0);
        const auto tx = field(line.substr(colon + 1), 8);
        if (!rx || !tx)
            continue;
        total.rx += *rx;
        total.tx += *tx;
    }
    return total;
}

} // namespace glimmet
