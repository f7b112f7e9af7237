#include "market/MarketMonitor.h"

#include "common/Settings.h"
#include "support/FakeClock.h"
#include "support/TempHome.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

// A monitor over a fake provider: every fetch waits until the test answers it.
class MarketMonitorTest : public testing::Test {
protected:
    struct Call {
        MarketInstrument instrument;
        MarketInterval interval;
        MarketCompletion completion;
    };

    TempHome home;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::mutex callsLock;
    QList<Call> calls;
    qsizetype seen = 0;
    std::shared_ptr<MarketMonitor> monitor;

    void make(const QStringList& favorites = {}) {
        if (!favorites.isEmpty())
            Settings::setValue("market_favorite_ids", favorites);
        monitor =
            std::make_shared<MarketMonitor>(clock, [this](const MarketInstrument& i, MarketInterval v,
                                                          const MarketFetchContext&, MarketCompletion c) {
                std::scoped_lock guard(callsLock);
                calls.append({i, v, std::move(c)});
            });
    }
    // The instrument ids fetched since the last look.
    QStringList newCalls() {
        monitor->waitIdle();
        std::scoped_lock guard(callsLock);
        QStringList ids;
        for (; seen < calls.size(); ++seen)
            ids.append(calls[seen].instrument.id);
        return ids;
    }
    // Answers the newest fetch of `id`: a one-candle chart at `price`, or a failure without one.
    void answer(const QString& id, std::optional<double> price) {
        monitor->waitIdle();
        Call call;
        {
            std::scoped_lock guard(callsLock);
            call = *std::find_if(calls.rbegin(), calls.rend(),
                                 [&](const Call& c) { return c.instrument.id == id; });
        }
        if (price)
            call.completion(MarketFetch::snapshot(call.instrument, call.interval,
                                                  {{clock->now(), 1, 2, 1, 2}}, *price, *price, "Coinbase",
                                                  clock->now()));
        else
            call.completion(std::unexpected(MarketFetch::marketError("x")));
        monitor->waitIdle();
    }
};

TEST_F(MarketMonitorTest, VersionMovesOnlyWithANewFrame) {
    make();
    EXPECT_EQ(monitor->frameVersionJSON(),
              QString(R"({"bytes":115200,"codec":"rgb565-packbits-v1","instrument":)"
                      R"("btc-usd","interval":"5m","packed_bytes":%1,"session":"","version":1})")
                  .arg(monitor->cachedPackedFrame().size()));
    const struct {
        double advance;
        double price;
        bool newVersion;
    } steps[] = {{0, 100, true}, {0, 100, false}, {5, 101, true}, {0, 101, false}, {0.0001, 101, false}};
    for (const auto& step : steps) {
        const std::uint64_t before = monitor->frameVersion();
        const QByteArray packed = monitor->cachedPackedFrame();
        clock->advance(step.advance);
        monitor->setInstrument(*MarketInstrument::preset("btc-usd"));
        answer("btc-usd", step.price);
        const std::uint64_t expected =
            step.newVersion ? std::max(std::uint64_t(clock->now() * 1000), before + 1) : before;
        EXPECT_EQ(monitor->frameVersion(), expected) << step.price;
        EXPECT_EQ(monitor->cachedPackedFrame() == packed, !step.newVersion) << step.price;
        EXPECT_EQ(QJsonDocument::fromJson(monitor->frameVersionJSON())["session"], monitor->frameSession());
    }
}

TEST_F(MarketMonitorTest, RotationPrefetchAndBackOff) {
    make({"btc-usd", "eth-usd"});
    const auto tick = [this] { monitor->cadenceTick(); };
    const struct {
        const char* what;
        std::function<void()> act;
        QStringList fetched;
        const char* shown;
    } steps[] = {
        {"tick: refresh the shown one, prefetch the next", tick, {"eth-usd", "btc-usd"}, "btc-usd"},
        {"tick while both are in flight", tick, {}, "btc-usd"},
        {"the prefetch fails", [&] { answer("eth-usd", {}); }, {}, "btc-usd"},
        {"the refresh succeeds", [&] { answer("btc-usd", 100); }, {}, "btc-usd"},
        {"tick: the failed one backs off", tick, {"btc-usd"}, "btc-usd"},
        {"30 s later",
         [&] {
             answer("btc-usd", 100);
             clock->advance(30);
         },
         {},
         "btc-usd"},
        {"tick: retry the failed one", tick, {"eth-usd", "btc-usd"}, "btc-usd"},
        {"a late answer for another instrument", [&] { answer("eth-usd", 3000); }, {}, "btc-usd"},
        {"tick: rotate to the cached one", tick, {"eth-usd"}, "eth-usd"},
    };
    for (const auto& step : steps) {
        step.act();
        EXPECT_EQ(newCalls(), step.fetched) << step.what;
        EXPECT_EQ(monitor->snapshot().instrument.id, step.shown) << step.what;
        EXPECT_EQ(QJsonDocument::fromJson(monitor->jsonData())["pair"],
                  monitor->snapshot().instrument.symbol);
    }
    EXPECT_EQ(Settings::string("market_instrument_id"), "eth-usd");
    EXPECT_EQ(monitor->snapshot().price, 3000);
}

TEST_F(MarketMonitorTest, StaleByAgeKeepsTheServedFrame) {
    const struct {
        MarketRefreshInterval refresh;
        double age;
        bool stale;
    } cases[] = {{MarketRefreshInterval::tenSeconds, 121, true},
                 {MarketRefreshInterval::twoMinutes, 239, false}};
    make();
    for (const auto& c : cases) {
        monitor->setRefreshInterval(c.refresh);
        answer("btc-usd", 100 + c.age);
        const QByteArray packed = monitor->cachedPackedFrame(), raw = monitor->frameEnvelope();
        clock->advance(c.age);
        EXPECT_EQ(monitor->snapshot().stale, c.stale) << c.age;
        EXPECT_EQ(QJsonDocument::fromJson(monitor->jsonData())["stale"], c.stale) << c.age;
        EXPECT_EQ(monitor->frameRGB565() == raw.mid(8), !c.stale) << c.age;
        EXPECT_EQ(monitor->cachedPackedFrame(), packed);
        EXPECT_EQ(monitor->frameEnvelope(), raw);
    }
}

TEST_F(MarketMonitorTest, StoredFavorites) {
    QStringList twenty;
    for (const MarketInstrument& preset : MarketInstrument::presets())
        twenty.append(preset.id);
    twenty.append("600519");
    const struct {
        QStringList stored;
        qsizetype count;
        const char* first;
    } cases[] = {{MarketInstrument::legacyDefaultFavorites(), 12, "btc-usd"},
                 {twenty, 15, "btc-usd"},
                 {{"?!", "eth-usd"}, 1, "eth-usd"}};
    for (const auto& c : cases) {
        make(c.stored);
        EXPECT_EQ(monitor->favoriteItems().size(), c.count);
        EXPECT_EQ(monitor->favoriteItems().value(0).id, c.first);
    }
    make(twenty);
    EXPECT_FALSE(monitor->addFavorite(*MarketInstrument::parse("600519")));
    EXPECT_TRUE(monitor->addFavorite(*MarketInstrument::preset("eth-usd")));
    EXPECT_EQ(monitor->favoriteItems().size(), 15);

    // Choices survive a restart, except those of a monitor told not to store them (the previews).
    monitor->setInterval(MarketInterval::oneHour);
    MarketMonitor preview(
        clock, [](auto&&...) {}, false);
    EXPECT_EQ(preview.requestedInterval(), MarketInterval::oneHour);
    preview.setInterval(MarketInterval::oneMinute);
    EXPECT_EQ(Settings::string("btc_interval"), "60m");
}

} // namespace
