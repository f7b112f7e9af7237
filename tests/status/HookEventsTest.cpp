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
    HookCase{"idle_event_never_changes_offline", "offline", "offline", {P{0, "claude", "SessionStart"}, E{1, "claude", "offline", false}}},
    HookCase{"permission_request_marks_needs_input_for_300s", "idle", "offline", {P{0, "claude", "PermissionRequest"}, E{299.9, "claude", "idle", true}, E{300, "claude", "idle", false}}},
    HookCase{"working_event_clears_needs_input", "idle", "offline", {P{0, "claude", "PermissionRequest"}, P{5, "claude", "PostToolUse"}, E{6, "claude", "working", false}}},
    HookCase{"idle_event_clears_needs_input", "idle", "offline", {P{0, "codex", "Elicitation"}, E{1, "codex", "offline", true}, P{2, "codex", "Stop"}, E{3, "codex", "offline", false}}},
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

TEST_F(FastTaskSequence, CountsAtOnceWhileTheLastScanSawFastMode) {
    service->codex.fastMode = true;
    service->snapshot(true);
    clock->set(start + 1.5);
    service->recordEvent("codex", "UserPromptSubmit", std::nullopt);
    EXPECT_EQ(service->snapshot(false).codex.fastTaskSeq, ms(1.5));
    EXPECT_EQ(service->snapshot(false).claude.fastTaskSeq, 0);
}

TEST_F(FastTaskSequence, PendingStartIsPromotedByTheNextFastScan) {
    service->snapshot(true); // not in fast mode
    clock->set(start + 2);
    service->recordEvent("claude", "task_started", std::nullopt);
    EXPECT_EQ(service->snapshot(false).claude.fastTaskSeq, 0);
    service->claude.fastMode = true;
    rescan();
    EXPECT_EQ(service->snapshot(false).claude.fastTaskSeq, ms(2));
}

TEST_F(FastTaskSequence, PendingStartIsDiscardedByAScanWithoutFastMode) {
    service->snapshot(true);
    clock->set(start + 2);
    service->recordEvent("claude", "TaskStarted", std::nullopt);
    rescan(); // disturbed by nothing, not fast: the pending start is dropped
    service->claude.fastMode = true;
    rescan();
    EXPECT_EQ(service->snapshot(false).claude.fastTaskSeq, 0);
}

TEST_F(FastTaskSequence, ScannedSequenceWinsWhenLater) {
    service->codex.fastMode = true;
    service->codex.fastTaskSeq = ms(100);
    service->snapshot(true);
    clock->set(start + 3);
    service->recordEvent("codex", "UserPromptSubmit", std::nullopt);
    EXPECT_EQ(service->snapshot(false).codex.fastTaskSeq, ms(100));
}

TEST_F(FastTaskSequence, StartDuringAScanIsKeptForTheScanAfter) {
    service->claude.fastMode = true;
    service->holdScans();
    service->snapshot(false);
    service->waitUntilScanStarted();
    clock->set(start + 1);
    service->recordEvent("claude", "UserPromptSubmit", std::nullopt); // fast mode not yet known
    service->releaseScans();
    service->drain();
    EXPECT_EQ(service->snapshot(false).claude.fastTaskSeq, 0) << "the disturbed scan promotes nothing";
    service->drain(); // the forced rescan
    EXPECT_EQ(service->snapshot(false).claude.fastTaskSeq, ms(1));
}

} // namespace
