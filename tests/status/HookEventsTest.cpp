#include "status/ScriptedStatusService.h"
#include "support/FakeClock.h"

#include <gtest/gtest.h>

#include <variant>

using namespace glimmet;
using namespace glimmet::test;

namespace {

constexpr double start = 1'780'000'000.0;

struct Post {
    double at; // seconds after the start
    const char* agent;
    const char* event;
    std::optional<QString> message = std::nullopt;
};

struct Expect {
    double at;
    const char* agent;
    const char* status;
    bool needsInput;
};

using Step = std::variant<Post, Expect>;
using P = Post;
using E = Expect;

struct HookCase {
    const char* name;
    const char* scannedClaude; // status the logs give
    const char* scannedCodex;
    std::vector<Step> steps;
};

void PrintTo(const HookCase& c, std::ostream* os) {
    *os << c.name;
}

class HookEvents : public testing::TestWithParam<HookCase> {};

TEST_P(HookEvents, StateAndNeedsInput) {
    const HookCase& c = GetParam();
    auto clock = std::make_shared<FakeClock>(start);
    auto service = std::make_shared<ScriptedStatusService>(clock);
    service->claude.status = c.scannedClaude;
    service->codex.status = c.scannedCodex;
    service->snapshot(true);

    for (const Step& step : c.steps) {
        if (const auto* post = std::get_if<Post>(&step)) {
            clock->set(start + post->at);
            service->recordEvent(post->agent, post->event, post->message);
            continue;
        }
        const auto& expect = std::get<Expect>(step);
        clock->set(start + expect.at);
        const Snapshot snapshot = service->snapshot(false);
        service->drain(); // a scan this call started is done before the next step
        const bool claude = QString(expect.agent) == "claude";
        const QString status = claude ? snapshot.claude.status : snapshot.codex.status;
        const bool needsInput = claude ? snapshot.claude.needsInput : snapshot.codex.needsInput;
        EXPECT_EQ(status, expect.status) << expect.agent << " at +" << expect.at;
        EXPECT_EQ(needsInput, expect.needsInput) << expect.agent << " at +" << expect.at;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rules, HookEvents, testing::Values(
    HookCase{"working_event_lasts_600s", "offline", "offline", {P{0, "claude", "PreToolUse"}, E{599.9, "claude", "working", false}, E{600, "claude", "offline", false}}},
    HookCase{"each_tool_event_renews_working", "idle", "offline", {P{0, "claude", "PreToolUse"}, P{500, "claude", "PostToolUse"}, E{1099, "claude", "working", false}, E{1100, "claude", "idle", false}}},
    HookCase{"stop_hides_log_working_for_60s", "working", "offline", {P{10, "claude", "Stop"}, E{69.9, "claude", "idle", false}, E{70, "claude", "working", false}}},
    HookCase{"idle_event_shows_idle_until_a_newer_scan", "offline", "offline", {P{1, "claude", "Stop"}, E{4.9, "claude", "idle", false}, E{5, "claude", "idle", false}, E{5.1, "claude", "offline", false}}},
    HookCase{"stale_idle_event_keeps_offline", "offline", "offline", {P{0.5, "claude", "Stop"}, E{60.5, "claude", "offline", false}}},
    HookCase{"permission_request_marks_needs_input_for_300s", "idle", "offline", {P{0, "claude", "PermissionRequest"}, E{299.9, "claude", "idle", true}, E{300, "claude", "idle", false}}},
    HookCase{"working_event_clears_needs_input", "idle", "offline", {P{0, "claude", "PermissionRequest"}, P{5, "claude", "PostToolUse"}, E{6, "claude", "working", false}}},
    HookCase{"idle_event_clears_needs_input", "idle", "offline", {P{0, "codex", "Elicitation"}, E{1, "codex", "offline", true}, P{2, "codex", "Stop"}, E{3, "codex", "idle", false}}},
    HookCase{"attention_renews_the_mark", "idle", "offline", {P{0, "claude", "Elicitation"}, P{200, "claude", "PermissionRequest"}, E{450, "claude", "idle", true}}},
    HookCase{"permission_notification_in_any_case", "idle", "offline", {P{0, "claude", "Notification", "Claude needs your PERMISSION to use Bash"}, E{1, "claude", "idle", true}}},
    HookCase{"approval_notification", "idle", "offline", {P{0, "codex", "Notification", "Waiting for approval"}, E{1, "codex", "offline", true}}},
    HookCase{"plain_notification_does_nothing", "working", "offline", {P{0, "claude", "Notification", "Claude is waiting for your input"}, E{1, "claude", "working", false}}},
    HookCase{"notification_without_message_does_nothing", "idle", "offline", {P{0, "claude", "Notification"}, E{1, "claude", "idle", false}}},
    HookCase{"unknown_event_is_ignored", "idle", "offline", {P{0, "claude", "Banana"}, E{1, "claude", "idle", false}}},
    HookCase{"unknown_agent_changes_nothing", "idle", "idle", {P{0, "gemini", "PreToolUse"}, P{1, "gemini", "PermissionRequest"}, E{2, "claude", "idle", false}, E{2, "codex", "idle", false}}},
    HookCase{"agents_are_separate", "idle", "idle", {P{0, "codex", "UserPromptSubmit"}, E{1, "codex", "working", false}, E{1, "claude", "idle", false}}}),
    [](const testing::TestParamInfo<HookCase>& info) { return std::string(info.param.name); });
// clang-format on

// Task starts and fast mode: a start counts at once while the last scan saw fast mode,
// otherwise it waits for a scan that does.
class FastTaskSequence : public testing::Test {
protected:
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(start);
    std::shared_ptr<ScriptedStatusService> service = std::make_shared<ScriptedStatusService>(clock);

    void rescan() {
        clock->advance(StatusService::cacheTTL);
        service->snapshot(true);
    }
    static std::int64_t ms(double at) { return std::int64_t((start + at) * 1000); }
};

TEST_F(FastTaskSequence, StartsCountOnlyWithAFastScan) {
    const struct {
        const char *name, *agent, *event;
        bool fastBefore;
        double scannedAt;              // the scanned sequence, seconds after the start; 0: none
        std::vector<bool> rescansFast; // the fast mode of each scan after the event
        double expectedAt;             // 0: no sequence
    } cases[] = {
        {"counts_at_once_while_fast", "codex", "UserPromptSubmit", true, 0, {}, 1.5},
        {"promoted_by_the_next_fast_scan", "claude", "task_started", false, 0, {true}, 1.5},
        {"discarded_by_a_scan_without_fast_mode", "claude", "TaskStarted", false, 0, {false, true}, 0},
        {"a_later_scanned_sequence_wins", "codex", "UserPromptSubmit", true, 100, {}, 100},
    };
    for (const auto& c : cases) {
        service = std::make_shared<ScriptedStatusService>(clock);
        clock->set(start);
        const bool claude = QString(c.agent) == "claude";
        bool& fastMode = claude ? service->claude.fastMode : service->codex.fastMode;
        fastMode = c.fastBefore;
        (claude ? service->claude.fastTaskSeq : service->codex.fastTaskSeq) =
            c.scannedAt ? ms(c.scannedAt) : 0;
        service->snapshot(true);
        clock->set(start + 1.5); // the sequence keeps the milliseconds
        service->recordEvent(c.agent, c.event, std::nullopt);
        for (bool fast : c.rescansFast) {
            fastMode = fast;
            rescan();
        }
        const Snapshot snapshot = service->snapshot(false);
        service->drain(); // a scan this call started is done before the next step
        const auto [mine, other] = claude
                                       ? std::pair(snapshot.claude.fastTaskSeq, snapshot.codex.fastTaskSeq)
                                       : std::pair(snapshot.codex.fastTaskSeq, snapshot.claude.fastTaskSeq);
        EXPECT_EQ(mine, c.expectedAt ? ms(c.expectedAt) : 0) << c.name;
        EXPECT_EQ(other, 0) << c.name << ": the other agent";
    }
}

TEST_F(FastTaskSequence, StartDuringAScanForcesOneRescanThatCountsIt) {
    service->claude.fastMode = true;
    service->holdScans();
    service->snapshot(false);
    service->waitUntilScanStarted();
    clock->set(start + 1);
    service->recordEvent("claude", "UserPromptSubmit", std::nullopt); // fast mode not yet known
    service->releaseScans();
    service->drain();
    ASSERT_EQ(service->scans.load(), 1);
    // The cache is fresh by time, but the scan was disturbed: the next poll rescans, once.
    EXPECT_EQ(service->snapshot(false).claude.fastTaskSeq, 0) << "the disturbed scan promotes nothing";
    service->drain();
    EXPECT_EQ(service->scans.load(), 2);
    EXPECT_EQ(service->snapshot(false).claude.fastTaskSeq, ms(1));
    service->drain();
    EXPECT_EQ(service->scans.load(), 2);
}

} // namespace
