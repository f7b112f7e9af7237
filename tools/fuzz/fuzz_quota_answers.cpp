// The answers of the four quota endpoints. The first byte picks the provider; the rest is
// the body.
#include "tools/fuzz/FuzzInput.h"
#include "usage/QuotaEndpoints.h"

using namespace glimmet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr double now = 1'780'000'000.0;
    fuzz::InputReader input(data, size);
    const uint8_t provider = input.byte();
    const QByteArray body = input.rest();
    switch (provider % 4) {
    case 0:
        (void)QuotaEndpoints::parseClaudeUsage(body, now);
        break;
    case 1:
        (void)QuotaEndpoints::parseCodexUsage(body, now);
        break;
    case 2:
        (void)QuotaEndpoints::parseGrokUsage(body, now);
        break;
    default:
        (void)QuotaEndpoints::parseKimiUsage(body, now);
        break;
    }
    return 0;
}
