// One Claude Code session log file, scanned as the status service scans it: whatever the bytes,
// no count is negative and the usage times stay in order.
#include "status/ClaudeScanner.h"
#include "tools/fuzz/SessionLogFuzz.h"

#include <algorithm>

using namespace glimmet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ClaudeLogScan scan;
    fuzz::scanLogFile(data, size, [&](LogReader& reader, std::string_view line, const DayWindow& day) {
        scanClaudeLine(scan, reader, line, day);
    });
    for (const auto* node : scan.entries.inOrder()) {
        const UsageEntry& e = node->second;
        if (std::min({e.input, e.output, e.cacheWrite5m, e.cacheWrite1h, e.cacheRead}) < 0 || e.total() < 0)
            std::abort();
    }
    if (scan.fastTaskSeq < 0 || !std::ranges::is_sorted(scan.usageTimes))
        std::abort();
    return 0;
}
