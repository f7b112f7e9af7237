// One Codex session log file, scanned as the status service scans it.
#include "status/CodexScanner.h"
#include "tools/fuzz/SessionLogFuzz.h"

using namespace glimmet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::scanLogFile(data, size, [](const LogBuffer& buffer, const DayWindow& day, LogLineParser& parser) {
        (void)scanCodexLog(buffer, day, parser);
    });
    return 0;
}
