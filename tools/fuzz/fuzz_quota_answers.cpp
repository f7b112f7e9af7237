// The answers of the four quota endpoints. The first byte picks the provider; the rest is the
// body. Whatever it holds, a reading's percentages are finite and its reset minutes not negative.
#include "tools/fuzz/FuzzInput.h"
#include "usage/QuotaEndpoints.h"

#include <cmath>

using namespace glimmet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr double now = 1'780'000'000.0;
    fuzz::InputReader input(data, size);
    const uint8_t provider = input.byte();
    const QByteArray body = input.rest();
    using Parse = std::optional<ProviderUsage> (*)(const QByteArray&, double);
    constexpr Parse parsers[] = {QuotaEndpoints::parseClaudeUsage, QuotaEndpoints::parseCodexUsage,
                                 QuotaEndpoints::parseGrokUsage, QuotaEndpoints::parseKimiUsage};
    const std::optional<ProviderUsage> usage = parsers[provider % 4](body, now);
    if (!usage)
        return 0;
    for (const std::optional<double>& pct : {usage->primaryPct, usage->weeklyPct, usage->fablePct}) {
        if (pct && !std::isfinite(*pct))
            std::abort();
    }
    for (const std::optional<std::int64_t>& minutes :
         {usage->primaryResetMin, usage->weeklyResetMin, usage->fableResetMin}) {
        if (minutes && *minutes < 0)
            std::abort();
    }
    return 0;
}
