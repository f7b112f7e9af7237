#include "usage/UsageFetcher.h"

#include "common/Log.h"
#include "status/StatusService.h"
#include "support/FakeClock.h"
#include "support/TempHome.h"
#include "usage/UsageTestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <future>

using namespace glimmet;
using namespace glimmet::test;

namespace {

constexpr double start = 1'780'000'000.0;

ProviderUsage withData(double weekly, std::optional<std::int64_t> resetMin = {}) {
    ProviderUsage usage;
    usage.weeklyPct = weekly;
    usage.weeklyResetMin = resetMin;
    usage.fetchedAt = start;
    return usage;
}

ProviderUsage failure(const QString& text, bool rateLimited = false) {
    ProviderUsage usage;
    usage.error = text;
    usage.rateLimited = rateLimited;
    return usage;
}

// Fetch operations whose answers a test sets, each held back by its own gate.
struct ScriptedProviders {
    std::mutex lock;
    std::array<ProviderUsage, 4> answers;
    std::array<std::promise<void>, 4> gates;
    std::array<std::shared_future<void>, 4> opened;
    std::array<std::atomic<int>, 4> calls{};
    std::array<std::atomic<int>, 4> returned{};

    ScriptedProviders() {
        for (std::size_t i = 0; i < 4; ++i)
            opened[i] = gates[i].get_future().share();
    }
    void openAll() {
        for (std::size_t i = 0; i < 4; ++i)
            open(i);
    }
    void open(std::size_t i) {
        if (opened[i].wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            gates[i].set_value();
    }
    void answer(UsageProvider provider, ProviderUsage usage) {
        std::lock_guard guard(lock);
        answers[std::size_t(provider)] = std::move(usage);
    }
    int totalCalls() const {
        int n = 0;
        for (const auto& c : calls)
            n += c.load();
        return n;
    }

    static UsageFetcher::Fetches fetches(const std::shared_ptr<ScriptedProviders>& self) {
        UsageFetcher::Fetches result;
        for (std::size_t i = 0; i < 4; ++i) {
            result[i] = [self, i] {
                ++self->calls[i];
                self->opened[i].wait();
                ProviderUsage answer;
                {
                    std::lock_guard guard(self->lock);
                    answer = self->answers[i];
                }
                ++self->returned[i];
                return answer;
            };
        }
        return result;
    }
};

class UsageFetcherTest : public testing::Test {
protected:
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(start);
    std::shared_ptr<ScriptedProviders> providers = std::make_shared<ScriptedProviders>();
    std::shared_ptr<UsageFetcher> fetcher;
    int updates = 0;

    void SetUp() override {
        fetcher = std::make_shared<UsageFetcher>(clock, ScriptedProviders::fetches(providers));
        fetcher->setOnUpdate([this] { ++updates; });
    }
    void TearDown() override {
        providers->openAll();
        // Let a cycle that is still running end before the fixture goes.
        waitFor([this] { return providers->totalCalls() == returnedTotal(); });
    }
    int returnedTotal() const {
        int n = 0;
        for (const auto& r : providers->returned)
            n += r.load();
        return n;
    }

    // Runs one complete cycle (all gates open) and waits for its update.
    void cycle() {
        providers->openAll();
        const int before = updates;
        fetcher->refresh();
        ASSERT_TRUE(waitFor([&] { return updates == before + 1; }));
    }
};

TEST_F(UsageFetcherTest, RefreshStartsOneCycleAtATimeAndAtMostOnceAMinute) {
    EXPECT_TRUE(fetcher->refresh());
    EXPECT_FALSE(fetcher->refresh()) << "a cycle is running";
    providers->openAll();
    ASSERT_TRUE(waitFor([&] { return updates == 1; }));

    clock->advance(59.9);
    EXPECT_FALSE(fetcher->refresh()) << "within the minute";
    clock->advance(0.1);
    EXPECT_TRUE(fetcher->refresh());
    ASSERT_TRUE(waitFor([&] { return updates == 2; }));
    for (const auto& calls : providers->calls)
        EXPECT_EQ(calls.load(), 2) << "each provider fetched once per cycle";
}

TEST_F(UsageFetcherTest, AnyRateLimitHoldsEveryProviderBackFiveMinutes) {
    const struct {
        const char* name;
        std::optional<UsageProvider> limited;
        double wait;
    } cases[] = {
        {"no rate limit", std::nullopt, 60},  {"claude", UsageProvider::Claude, 300},
        {"codex", UsageProvider::Codex, 300}, {"grok", UsageProvider::Grok, 300},
        {"kimi", UsageProvider::Kimi, 300},
    };
    for (const auto& c : cases) {
        for (auto p : {UsageProvider::Claude, UsageProvider::Codex, UsageProvider::Grok, UsageProvider::Kimi})
            providers->answer(p, withData(1));
        if (c.limited)
            providers->answer(*c.limited, failure("limited", true));
        cycle();
        clock->advance(c.wait - 0.5);
        EXPECT_FALSE(fetcher->refresh()) << c.name << ": too early";
        providers->answer(UsageProvider::Claude, withData(1)); // no more rate limits
        providers->answer(UsageProvider::Codex, withData(1));
        providers->answer(UsageProvider::Grok, withData(1));
        providers->answer(UsageProvider::Kimi, withData(1));
        clock->advance(0.5);
        const int before = updates;
        EXPECT_TRUE(fetcher->refresh()) << c.name;
        ASSERT_TRUE(waitFor([&] { return updates == before + 1; })) << c.name;
        clock->advance(60); // ready for the next case
    }
}

TEST_F(UsageFetcherTest, MergeKeepsTheLastGoodNumbersAndShowsTheNewError) {
    ProviderUsage limitedGood = withData(40, 90);
    limitedGood.rateLimited = true; // a reading can carry data and the flag together
    ProviderUsage errorOnly = failure("old error");
    ProviderUsage emptySuccess;
    emptySuccess.fetchedAt = start + 1;

    const struct {
        const char* name;
        ProviderUsage old, fresh, expected;
    } cases[] = {
        {"failure after data", withData(40, 90), failure("new error"),
         [] {
             ProviderUsage u = withData(40, 90);
             u.error = "new error";
             return u;
         }()},
        {"failure keeps fetchedAt and the flag", limitedGood, failure("new error"),
         [&] {
             ProviderUsage u = limitedGood;
             u.error = "new error";
             return u;
         }()},
        {"success without numbers clears the error", withData(40, 90), emptySuccess, withData(40, 90)},
        {"failure after failure", errorOnly, failure("new error", true), failure("new error", true)},
        {"data replaces data whole", withData(40, 90), withData(50), withData(50)},
        {"data after failure", errorOnly, withData(50), withData(50)},
    };
    for (const auto& c : cases) {
        providers = std::make_shared<ScriptedProviders>();
        fetcher = std::make_shared<UsageFetcher>(clock, ScriptedProviders::fetches(providers));
        fetcher->setOnUpdate([this] { ++updates; });
        for (auto p : {UsageProvider::Claude, UsageProvider::Codex, UsageProvider::Grok, UsageProvider::Kimi})
            providers->answer(p, c.old);
        cycle();
        clock->advance(300);
        providers->answer(UsageProvider::Grok, c.fresh);
        cycle();
        EXPECT_EQ(fetcher->usage(UsageProvider::Grok), c.expected) << c.name;
        EXPECT_EQ(fetcher->usage(UsageProvider::Kimi), c.old) << c.name << ": others unchanged";
    }
}

TEST_F(UsageFetcherTest, ErrorsAreLoggedInProviderOrderAndUpdateRunsOnTheMainThread) {
    auto lines = std::make_shared<QStringList>();
    auto linesLock = std::make_shared<std::mutex>();
    Log::setSink([lines, linesLock](const QString& line) {
        std::lock_guard guard(*linesLock);
        lines->append(line);
    });
    struct RestoreLog {
        ~RestoreLog() { Log::setSink({}); }
    } restoreLog;
    providers->answer(UsageProvider::Claude, failure("Claude 用量请求失败"));
    providers->answer(UsageProvider::Codex, withData(3));
    providers->answer(UsageProvider::Grok, failure("Grok 用量接口 HTTP 500"));
    providers->answer(UsageProvider::Kimi, failure("Kimi Code 凭据无效或过期"));
    auto onMain = std::make_shared<bool>(false);
    fetcher->setOnUpdate([this, onMain] {
        *onMain = QThread::currentThread() == QCoreApplication::instance()->thread();
        ++updates;
    });

    fetcher->refresh();
    // Finish in reverse order: the log still follows the providers' order.
    for (std::size_t i = 4; i-- > 0;) {
        providers->open(i);
        ASSERT_TRUE(waitFor([&] { return providers->returned[i].load() == 1; }));
    }
    ASSERT_TRUE(waitFor([&] { return updates == 1; }));
    EXPECT_TRUE(*onMain);
    std::lock_guard guard(*linesLock);
    EXPECT_EQ(*lines,
              (QStringList{"[usage] claude: Claude 用量请求失败", "[usage] grok: Grok 用量接口 HTTP 500",
                           "[usage] kimi: Kimi Code 凭据无效或过期"}));
}

TEST_F(UsageFetcherTest, AutoRefreshFetchesAtOnceThenOnItsTimer) {
    providers->openAll();
    fetcher->startAutoRefresh(0.05);
    ASSERT_TRUE(waitFor([&] { return updates == 1; }));
    // The timer keeps asking; the minute's floor lets the next cycle through only now.
    clock->advance(60);
    ASSERT_TRUE(waitFor([&] { return updates == 2; }));
    EXPECT_EQ(providers->totalCalls(), 8);
}

TEST_F(UsageFetcherTest, ACycleWhoseFetcherIsGoneEndsQuietly) {
    fetcher->refresh();
    std::weak_ptr<UsageFetcher> weak = fetcher;
    fetcher.reset();
    EXPECT_TRUE(weak.expired()) << "a running cycle does not keep the fetcher alive";
    providers->openAll();
    ASSERT_TRUE(waitFor([&] { return returnedTotal() == 4; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(updates, 0);
}

// The real endpoints behind a fake server: what a 429 from each provider does to the cycle.
class UsageFetcherEndpointsTest : public testing::Test {
protected:
    TempHome home;
    FakeHttpServer fake;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(start);

    void SetUp() override {
        pointQuotaEndpointsAt(fake.baseUrl());
        home.write(".claude/.credentials.json", R"({"claudeAiOauth":{"accessToken":"c"}})");
        home.write(".codex/auth.json", R"({"tokens":{"access_token":"x"}})");
        home.write(".grok/auth.json", R"({"https://auth.x.ai::me":{"key":"g"}})");
        home.write(".kimi-code/credentials/kimi-code.json", R"({"access_token":"k"})");
        fake.setJson(claudePath, R"({"five_hour":{"utilization":12.5},"seven_day":{"utilization":30}})");
        fake.setJson(codexPath, R"({"rate_limit":{"secondary":{"used_percent":44,"window_minutes":10080}}})");
        fake.setJson(grokPath, R"({"config":{"creditUsagePercent":7}})");
        fake.setJson(kimiPath, R"({"usage":{"limit":10,"used":5}})");
    }
};

TEST_F(UsageFetcherEndpointsTest, A429HoldsAllFourBackExceptFromCodex) {
    const struct {
        const char* name;
        QString path;
        UsageProvider provider;
        double wait;
    } cases[] = {
        {"claude", claudePath, UsageProvider::Claude, 300},
        {"codex", codexPath, UsageProvider::Codex, 60},
        {"grok", grokPath, UsageProvider::Grok, 300},
        {"kimi", kimiPath, UsageProvider::Kimi, 300},
    };
    for (const auto& c : cases) {
        auto fetcher = std::make_shared<UsageFetcher>(clock);
        int updates = 0;
        fetcher->setOnUpdate([&] { ++updates; });
        fake.setResponse(c.path, FakeResponse{429, "{}"});
        const qsizetype before = fake.requests(c.path).size();
        fetcher->refresh();
        ASSERT_TRUE(waitFor([&] { return updates == 1; })) << c.name;
        EXPECT_EQ(fetcher->usage(c.provider).rateLimited, c.wait == 300) << c.name;
        EXPECT_EQ(fake.requests(c.path).size(), before + 1) << c.name;

        clock->advance(c.wait - 1);
        EXPECT_FALSE(fetcher->refresh()) << c.name << ": too early";
        clock->advance(1);
        EXPECT_TRUE(fetcher->refresh()) << c.name;
        ASSERT_TRUE(waitFor([&] { return updates == 2; })) << c.name;
        clock->advance(300);
        fake.setJson(c.path, "{}");
    }
}

TEST_F(UsageFetcherEndpointsTest, TheStatusDocumentShowsTheQuotaAfterTheFirstCycle) {
    fake.setJson(claudePath, QStringLiteral(R"({"five_hour":{"utilization":12.5,"resets_at":"%1"},
        "seven_day":{"utilization":30,"resets_at":"%2"},
        "limits":[{"kind":"weekly_scoped","scope":{"model":{"display_name":"Fable"}},"percent":61}]})")
                                 .arg(isoAt(start + 600), isoAt(start + 86400))
                                 .toUtf8());
    auto fetcher = std::make_shared<UsageFetcher>(clock);
    auto status = std::make_shared<StatusService>(clock);
    status->setUsage(fetcher);
    int updates = 0;
    fetcher->setOnUpdate([&] { ++updates; });
    const QJsonObject before = QJsonDocument::fromJson(status->snapshot(false).jsonData()).object();
    EXPECT_TRUE(before["claude"].toObject()["five_hour_pct"].isNull());

    fetcher->refresh();
    ASSERT_TRUE(waitFor([&] { return updates == 1; }));
    const QJsonObject doc = QJsonDocument::fromJson(status->snapshot(false).jsonData()).object();
    const QJsonObject claude = doc["claude"].toObject();
    EXPECT_EQ(claude["five_hour_pct"].toDouble(), 12.5);
    EXPECT_EQ(claude["five_hour_reset_min"].toInteger(), 10);
    EXPECT_EQ(claude["seven_day_pct"].toDouble(), 30);
    EXPECT_EQ(claude["seven_day_reset_min"].toInteger(), 1440);
    EXPECT_EQ(claude["fable_pct"].toDouble(), 61);
    EXPECT_EQ(doc["codex"].toObject()["weekly_pct"].toDouble(), 44);
    EXPECT_EQ(doc["grok"].toObject()["weekly_pct"].toDouble(), 7);
    EXPECT_EQ(doc["kimi"].toObject()["weekly_pct"].toDouble(), 50);
    status->scanQueue().sync([] {}); // the first snapshot's scan ends before the service goes
}

} // namespace
