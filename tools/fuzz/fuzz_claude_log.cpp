// One Claude Code session log file, scanned as the status service scans it.
#include "status/ClaudeScanner.h"
#include "tools/fuzz/SessionLogFuzz.h"

using namespace glimmet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ClaudeLogScan scan;
    fuzz::scanLogFile(data, size, [&](LogReader& reader, std::string_view line, const DayWindow& day) {
        scanClaudeLine(scan, reader, line, day);
    });
    for (const auto* entry : scan.entries.inOrder())
        (void)entry->second.total();
    return 0;
}
