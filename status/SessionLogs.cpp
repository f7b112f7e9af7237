#include "status/SessionLogs.h"

#include "common/Json.h"

#include <QDirIterator>
#include <QFileInfo>

#include <algorithm>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace glimmet {

std::vector<LogFile> findSessionLogs(const QString& root) {
    std::vector<LogFile> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString name = info.fileName();
        // "x.jsonl" has the extension; a bare ".jsonl" is a hidden file without one.
        if (name.size() <= 6 || !name.endsWith(QLatin1String(".jsonl")))
            continue;
        const QDateTime modified = info.fileTime(QFileDevice::FileModificationTime);
        if (!modified.isValid())
            continue;
        files.push_back({info.filePath(), double(modified.toMSecsSinceEpoch()) / 1000.0});
    }
    return files;
}

bool LogBuffer::load(const QString& path) {
    length = 0;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    // The file may grow while it is read (the agent appends to it): read what is there.
    size_t capacity = size_t(st.st_size) + 4096;
    for (;;) {
        if (bytes.size() < capacity + simdjson::SIMDJSON_PADDING)
            bytes.resize(capacity + simdjson::SIMDJSON_PADDING);
        const ssize_t n = ::read(fd, bytes.data() + length, capacity - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            length = 0;
            return false;
        }
        if (n == 0)
            break;
        length += size_t(n);
        if (length == capacity)
            capacity *= 2;
    }
    ::close(fd);
    std::fill(bytes.begin() + std::ptrdiff_t(length),
              bytes.begin() + std::ptrdiff_t(length + simdjson::SIMDJSON_PADDING), 0);
    return true;
}

simdjson::simdjson_result<simdjson::ondemand::document> LogLineParser::parse(const LogBuffer& buffer,
                                                                             std::string_view line) {
    auto document = parser.iterate(line.data(), line.size(), buffer.capacityFrom(line));
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
        return number.get_int64();
    case simdjson::ondemand::number_type::unsigned_integer:
        return number.get_uint64() > uint64_t(std::numeric_limits<std::int64_t>::max())
                   ? std::numeric_limits<std::int64_t>::max()
                   : std::int64_t(number.get_uint64());
    default:
        return truncatedInteger(number.get_double()).value_or(0);
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
