// One Codex session log file, scanned as the status service scans it: whatever the bytes, no
// count is negative and every step names a rate of the scan.
#include "status/CodexScanner.h"
#include "tools/fuzz/SessionLogFuzz.h"

using namespace glimmet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CodexLogScan scan;
    fuzz::scanLogFile(data, size, [&](LogReader& reader, std::string_view line, const DayWindow& day) {
        scanCodexLine(scan, reader, line, day);
    });
    if (scan.tokensToday < 0 || scan.fastTaskSeq < 0)
        std::abort();
    for (const CodexStep& step : scan.steps) {
        if (step.uncachedInput < 0 || step.cachedInput < 0 || step.output < 0 ||
            step.rate >= scan.rates.size())
            std::abort();
    }
    return 0;
}
