#include "status/ScriptedStatusService.h"
#include "support/FakeClock.h"
#include "support/FixedUsage.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QThread>

using namespace glimmet;
using namespace glimmet::test;

namespace {

class StatusServiceTest : public testing::Test {
protected:
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(1'780'000'000.25);
    std::shared_ptr<ScriptedStatusService> service = std::make_shared<ScriptedStatusService>(clock);
};

TEST_F(StatusServiceTest, FirstPollServesOfflineAndStartsOneScan) {
    service->claude.status = "working";
    service->claude.tokensToday = 1234;

    const Snapshot first = service->snapshot(false);
    EXPECT_EQ(first.claude, ClaudeStatus{});
    EXPECT_EQ(first.codex, CodexStatus{});
    EXPECT_EQ(first.preferredAgent, "codex");
    EXPECT_EQ(first.ts, 1'780'000'000);

    clock->advance(1);
    service->snapshot(false);
    service->drain();
    EXPECT_EQ(service->scans.load(), 1);
    EXPECT_EQ(service->snapshot(false).claude.tokensToday, 1234);
    service->drain();
    EXPECT_EQ(service->scans.load(), 1);
}

TEST_F(StatusServiceTest, CacheIsServedForFiveSecondsThenRescannedInTheBackground) {
    service->snapshot(true);
    ASSERT_EQ(service->scans.load(), 1);
    service->claude.tokensToday = 99;

    clock->advance(4.9);
    EXPECT_EQ(service->snapshot(false).claude.tokensToday, 0);
    service->drain();
    EXPECT_EQ(service->scans.load(), 1);

    clock->advance(0.1);
    EXPECT_EQ(service->snapshot(false).claude.tokensToday, 0) << "the stale copy is served meanwhile";
    service->drain();
    EXPECT_EQ(service->scans.load(), 2);
    EXPECT_EQ(service->snapshot(false).claude.tokensToday, 99);
}

TEST_F(StatusServiceTest, WaitingCallDoesNotWaitForAScanAlreadyInFlight) {
    service->holdScans();
    service->snapshot(false);
    service->waitUntilScanStarted();
    const Snapshot whileScanning = service->snapshot(true);
    EXPECT_EQ(whileScanning.claude.status, "offline");
    service->releaseScans();
    service->drain();
    EXPECT_EQ(service->scans.load(), 1);
}

TEST_F(StatusServiceTest, PreferredAgentFollowsLatestActivityAndTiesGoToCodex) {
    const struct {
        std::int64_t claude, codex;
        const char* preferred;
    } cases[] = {{0, 0, "codex"}, {100, 100, "codex"}, {101, 100, "claude"}, {100, 101, "codex"}};
    for (const auto& c : cases) {
        service->claude.lastActivityAt = c.claude;
        service->codex.lastActivityAt = c.codex;
        clock->advance(StatusService::cacheTTL);
        EXPECT_EQ(service->snapshot(true).preferredAgent, c.preferred) << c.claude << " vs " << c.codex;
    }
}

TEST_F(StatusServiceTest, QuotaAndMusicOverlay) {
    service->codex.weeklyPct = 12.5;
    service->codex.weeklyResetMin = 600;
    service->codex.weeklyWindowMin = 10080;

    // Without a usage source the scanned records are served as they are.
    Snapshot plain = service->snapshot(true);
    EXPECT_EQ(plain.claude, service->claude);
    EXPECT_EQ(plain.codex, service->codex);
    EXPECT_EQ(plain.grok, ProviderUsage{});
    EXPECT_EQ(plain.kimi, ProviderUsage{});
    EXPECT_FALSE(plain.musicPlaying);

    auto usage = std::make_shared<FixedUsage>();
    usage->claude = {.primaryPct = 40, .primaryResetMin = 30, .weeklyPct = 70.5, .fablePct = 3};
    usage->grok.weeklyPct = 8;
    usage->kimi.primaryPct = 9;
    usage->codex.error = "失败"; // no weeklyPct: the scanned window stays
    service->setUsage(usage);
    service->setMusicPlayingProvider([] { return true; });

    ClaudeStatus claude = service->claude;
    std::tie(claude.fiveHourPct, claude.fiveHourResetMin, claude.sevenDayPct, claude.fablePct) =
        std::tuple(40, 30, 70.5, 3);
    CodexStatus codex = service->codex;
    Snapshot overlaid = service->snapshot(false);
    EXPECT_EQ(overlaid.claude, claude);
    EXPECT_EQ(overlaid.codex, codex);
    EXPECT_EQ(overlaid.grok, usage->grok);
    EXPECT_EQ(overlaid.kimi, usage->kimi);
    EXPECT_TRUE(overlaid.musicPlaying);

    usage->codex.weeklyPct = 55; // present, with no reset minutes
    std::tie(codex.weeklyPct, codex.weeklyResetMin) = std::tuple(55, std::nullopt);
    EXPECT_EQ(service->snapshot(false).codex, codex);

    service->claude.needsInput = true;
    EXPECT_FALSE(service->snapshot(true).claude.needsInput) << "only hook events decide it (HookEventsTest)";
}

TEST_F(StatusServiceTest, ServiceReleasedDuringItsOwnScanIsDestroyedCleanly) {
    std::weak_ptr<ScriptedStatusService> weak = service;
    ScriptedStatusService* raw = service.get();
    raw->holdScans();
    service->snapshot(false);
    raw->waitUntilScanStarted();
    service.reset(); // the running scan now holds the last reference
    raw->releaseScans();
    QDeadlineTimer deadline(5000);
    while (!weak.expired() && !deadline.hasExpired())
        QThread::msleep(5);
    EXPECT_TRUE(weak.expired());
}

} // namespace
