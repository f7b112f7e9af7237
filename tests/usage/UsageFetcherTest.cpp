#include "usage/UsageFetcher.h"

#include "usage/UsageTestFixture.h"

using namespace glimmet;
using namespace glimmet::test;

namespace {

TEST_F(UsageFetcherTest, RefreshStartsOneCycleAtATimeAndAtMostOnceAMinute) {
    EXPECT_TRUE(fetcher->refresh());
    EXPECT_FALSE(fetcher->refresh()) << "a cycle is running";
    ASSERT_TRUE(waitUntil([&] { return updates == 1; }, 15000));
    clock->advance(59.9);
    EXPECT_FALSE(fetcher->refresh()) << "within the minute";
    clock->advance(0.1);
    cycle();
    EXPECT_EQ(fake.requests().size(), 8) << "each cycle asks each provider once";
    using enum UsageProvider;
    EXPECT_EQ(QList<std::optional<double>>({fetcher->usage(Claude).primaryPct,
                                            fetcher->usage(Claude).fablePct, fetcher->usage(Codex).weeklyPct,
                                            fetcher->usage(Grok).weeklyPct, fetcher->usage(Kimi).weeklyPct}),
              QList<std::optional<double>>({12.5, 61, 44, 7, 50}))
        << "each provider's record in its own place";
}

TEST_F(UsageFetcherTest, A429HoldsAllFourBackFiveMinutesExceptFromCodex) {
    const std::pair<QString, double> cases[] = {
        {claudePath, 300}, {codexPath, 60}, {grokPath, 300}, {kimiPath, 300}};
    for (const auto& [path, wait] : cases) {
        fake.setResponse(path, FakeResponse{429, "{}"});
        cycle();
        clock->advance(wait - 1);
        EXPECT_FALSE(fetcher->refresh()) << path.toStdString() << ": too early";
        clock->advance(1);
        cycle();
        clock->advance(300);
        fake.setJson(path, "{}");
    }
}

TEST_F(UsageFetcherTest, AFailureKeepsTheLastNumbersAndShowsItsError) {
    const struct {
        int status;
        QByteArray body;
        U expected; // one cycle a minute, from `now` on
    } cycles[] = {
        {500, "", {.error = "Grok 用量接口 HTTP 500"}},
        {200, R"({"config":{"creditUsagePercent":7}})", {.weeklyPct = 7, .fetchedAt = now + 60}},
        {401, "", {.weeklyPct = 7, .error = "Grok 凭据过期，请重新登录 Grok/Pi", .fetchedAt = now + 60}},
        {200, "{}", {.weeklyPct = 7, .error = "Grok 周额度响应解析失败", .fetchedAt = now + 60}},
        {200, R"({"config":{"creditUsagePercent":9}})", {.weeklyPct = 9, .fetchedAt = now + 240}},
    };
    for (const auto& c : cycles) {
        fake.setResponse(grokPath, FakeResponse{c.status, c.body});
        cycle();
        EXPECT_EQ(fetcher->usage(UsageProvider::Grok), c.expected);
        EXPECT_EQ(fetcher->usage(UsageProvider::Kimi).weeklyPct, 50) << "the others keep theirs";
        clock->advance(60);
    }
}

TEST_F(UsageFetcherTest, ErrorsAreLoggedInProviderOrderAndUpdateRunsOnTheMainThread) {
    QStringList lines;
    Log::setSink([&](const QString& line) { lines.append(line); });
    const auto restoreLog = qScopeGuard([] { Log::setSink({}); });
    fake.setResponse(claudePath, FakeResponse{500, "", {}, 400}); // the answers come in reverse order
    fake.setResponse(grokPath, FakeResponse{500, "", {}, 200});
    fake.setResponse(kimiPath, FakeResponse{401, ""});
    cycle();
    EXPECT_TRUE(onMainThread);
    EXPECT_EQ(lines,
              (QStringList{"[usage] claude: Claude 用量接口 HTTP 500", "[usage] grok: Grok 用量接口 HTTP 500",
                           "[usage] kimi: Kimi Code 凭据无效或过期"}));
}

TEST_F(UsageFetcherTest, AutoRefreshFetchesAtOnceThenOnItsTimer) {
    fetcher->startAutoRefresh(0.05);
    EXPECT_FALSE(fetcher->refresh()) << "the first cycle runs at once";
    ASSERT_TRUE(waitUntil([&] { return updates == 1; }, 15000));
    clock->advance(60); // the timer keeps asking; the minute's floor lets the next cycle through only now
    ASSERT_TRUE(waitUntil([&] { return updates == 2; }, 15000));
    EXPECT_EQ(fake.requests().size(), 8);
}

} // namespace
