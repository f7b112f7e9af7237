#include "common/Json.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <charconv>
#include <cmath>
#include <limits>

namespace glimmet {

std::optional<double> number(const QJsonValue& value) {
    if (value.isDouble()) {
        const double d = value.toDouble();
        return std::isfinite(d) ? std::optional(d) : std::nullopt;
    }
    if (!value.isString())
        return std::nullopt;
    const QByteArray text = value.toString().toUtf8();
    const char* first = text.constData();
    const char* last = first + text.size();
    const bool plus = first != last && *first == '+';
    if (plus)
        ++first;
    // from_chars also reads "inf" and "nan"; only decimal digits count here.
    if (first == last ||
        !(std::isdigit(static_cast<unsigned char>(*first)) || *first == '.' || (!plus && *first == '-')))
        return std::nullopt;
    double d = 0;
    const auto [end, ec] = std::from_chars(first, last, d, std::chars_format::general);
    if (ec != std::errc() || end != last || !std::isfinite(d))
        return std::nullopt;
    return d;
}

std::optional<std::int64_t> truncatedInteger(double value) {
    if (std::isnan(value))
        return std::nullopt;
    constexpr double limit = 9223372036854775808.0; // 2^63
    if (value >= limit)
        return std::numeric_limits<std::int64_t>::max();
    if (value < -limit)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

std::optional<std::int64_t> integer(const QJsonValue& value) {
    const auto d = number(value);
    return d ? truncatedInteger(*d) : std::nullopt;
}

std::optional<QString> string(const QJsonValue& value) {
    return value.isString() ? std::optional(value.toString()) : std::nullopt;
}

std::optional<QJsonObject> parseObject(const QByteArray& bytes) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

} // namespace glimmet
