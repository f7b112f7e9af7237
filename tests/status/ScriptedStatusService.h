#pragma once

#include "status/StatusService.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace glimmet::test {

// A service whose log readers return what the test sets and count how often they ran;
// a test can hold a scan inside readClaude() until it releases it.
class ScriptedStatusService : public StatusService {
public:
    using StatusService::StatusService;

    ClaudeStatus claude;
    CodexStatus codex;
    std::atomic<int> scans{0};

    void holdScans() {
        std::lock_guard guard(gate);
        held = true;
    }
    void releaseScans() {
        {
            std::lock_guard guard(gate);
            held = false;
        }
        opened.notify_all();
    }
    void waitUntilScanStarted() {
        std::unique_lock guard(gate);
        opened.wait(guard, [this] { return scanning; });
    }
    void drain() {
        scanQueue().sync([] {});
    }

protected:
    ClaudeStatus readClaude() override {
        std::unique_lock guard(gate);
        scanning = true;
        opened.notify_all();
        opened.wait(guard, [this] { return !held; });
        scanning = false;
        ++scans;
        return claude;
    }
    CodexStatus readCodex() override { return codex; }

private:
    std::mutex gate;
    std::condition_variable opened;
    bool held = false;
    bool scanning = false;
};

} // namespace glimmet::test
