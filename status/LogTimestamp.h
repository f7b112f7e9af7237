#pragma once

#include <optional>
#include <string_view>

namespace glimmet {

// An RFC 3339 internet date-time as the agents write it in their logs
// ("2026-12-06T08:30:00.123Z", "2026-12-06T16:30:00+08:00"), with or without fractional
// seconds, as epoch seconds. Anything else is absent.
std::optional<double> parseLogTimestamp(std::string_view text);

} // namespace glimmet
