#include "status/LogTimestamp.h"

#include <cstdint>

namespace glimmet {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + std::int64_t(doe) - 719468;
}

bool leapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(int y, int m) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leapYear(y) ? 29 : days[m - 1];
}

// Reads exactly `count` digits at `pos`.
bool digits(std::string_view text, size_t pos, size_t count, int* out) {
    if (pos + count > text.size())
        return false;
    int value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    *out = value;
    return true;
}

} // namespace

std::optional<double> parseLogTimestamp(std::string_view s) {
    int year, month, day, hour, minute, second;
    if (!digits(s, 0, 4, &year) || s.size() < 20 || s[4] != '-' || !digits(s, 5, 2, &month) || s[7] != '-' ||
        !digits(s, 8, 2, &day) || s[10] != 'T' || !digits(s, 11, 2, &hour) || s[13] != ':' ||
        !digits(s, 14, 2, &minute) || s[16] != ':' || !digits(s, 17, 2, &second))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 59)
        return std::nullopt;

    size_t pos = 19;
    double fraction = 0;
    if (s[pos] == '.') {
        ++pos;
        double scale = 0.1;
        const size_t start = pos;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
            fraction += (s[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start)
            return std::nullopt;
    }

    int offsetSeconds = 0;
    if (pos < s.size() && s[pos] == 'Z') {
        ++pos;
    } else if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
        int offsetHour, offsetMinute;
        if (!digits(s, pos + 1, 2, &offsetHour) || pos + 3 >= s.size() || s[pos + 3] != ':' ||
            !digits(s, pos + 4, 2, &offsetMinute) || offsetHour > 23 || offsetMinute > 59)
            return std::nullopt;
        offsetSeconds = (offsetHour * 3600 + offsetMinute * 60) * (s[pos] == '-' ? -1 : 1);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != s.size())
        return std::nullopt;

    const std::int64_t seconds = daysFromCivil(year, unsigned(month), unsigned(day)) * 86400 + hour * 3600 +
                                 minute * 60 + second - offsetSeconds;
    return double(seconds) + fraction;
}

} // namespace glimmet
