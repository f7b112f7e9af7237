#pragma once

#include <optional>

namespace glimmet {

// The colour of the mirror's border ring for a quota percentage.
enum class QuotaBorderLevel { green, yellow, red };

// 75 % and above is red, 50 % and above yellow; below that, or without a percentage, green.
inline QuotaBorderLevel quotaBorderLevel(std::optional<double> percent) {
    if (percent && *percent >= 75)
        return QuotaBorderLevel::red;
    if (percent && *percent >= 50)
        return QuotaBorderLevel::yellow;
    return QuotaBorderLevel::green;
}

} // namespace glimmet
