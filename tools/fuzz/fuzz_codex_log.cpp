// One Codex session log file, scanned as the status service scans it.
#include "status/CodexScanner.h"
#include "tools/fuzz/SessionLogFuzz.h"

using namespace glimmet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CodexLogScan scan;
    fuzz::scanLogFile(data, size, [&](LogReader& reader, std::string_view line, const DayWindow& day) {
        scanCodexLine(scan, reader, line, day);
    });
    return 0;
}
