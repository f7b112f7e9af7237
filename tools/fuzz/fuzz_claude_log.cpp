// One Claude Code session log file, scanned as the status service scans it.
#include "status/ClaudeScanner.h"
#include "tools/fuzz/SessionLogFuzz.h"

using namespace glimmet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::scanLogFile(data, size, [](const LogBuffer& buffer, const DayWindow& day, LogLineParser& parser) {
        const ClaudeLogScan scan = scanClaudeLog(buffer, day, parser);
        for (const auto& [key, entry] : scan.entries)
            (void)entry.total();
    });
    return 0;
}
