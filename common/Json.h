#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <cstdint>
#include <optional>

namespace glimmet {

// Tolerant readers of JSON values that arrive from files and remote services.

// A JSON number, or a string that is wholly a decimal number ("42.5", "-3", "1e3"); anything
// else, including "42%", " 1" and non-finite values, is absent.
std::optional<double> number(const QJsonValue& value);

// `value` truncated toward zero and clamped to the 64-bit range; NaN is absent.
std::optional<std::int64_t> truncatedInteger(double value);

// number() followed by truncatedInteger().
std::optional<std::int64_t> integer(const QJsonValue& value);

// The value when it is a JSON string.
std::optional<QString> string(const QJsonValue& value);

// The document when `bytes` parse as a JSON object.
std::optional<QJsonObject> parseObject(const QByteArray& bytes);

} // namespace glimmet
