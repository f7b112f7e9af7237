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
    // Answers the newest fetch of `id`: a one-candle chart at `price` (low 1, high 4, open 2, close
    // 3), or a failure without one.
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
                                                  {{clock->now(), 1, 4, 2, 3}}, *price, *price, "Coinbase",
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
    // A new frame's version is its time in milliseconds, or one more than the last when that is
    // not later.
    const struct {
        double advance;
        double price;
        std::uint64_t version;
    } steps[] = {{0, 100, 1'780'000'000'000},
                 {0, 100, 1'780'000'000'000},
                 {5, 101, 1'780'000'005'000},
                 {0, 102, 1'780'000'005'001},
                 {0.0001, 102, 1'780'000'005'001}};
    for (const auto& step : steps) {
        const std::uint64_t before = monitor->frameVersion();
        const QByteArray packed = monitor->cachedPackedFrame();
        clock->advance(step.advance);
        monitor->setInstrument(*MarketInstrument::preset("btc-usd"));
        answer("btc-usd", step.price);
        EXPECT_EQ(monitor->frameVersion(), step.version) << step.price;
        EXPECT_EQ(monitor->cachedPackedFrame() == packed, step.version == before) << step.price;
        EXPECT_EQ(QJsonDocument::fromJson(monitor->frameVersionJSON())["session"], monitor->frameSession());
    }
}

TEST_F(MarketMonitorTest, MarketDocumentOfAChart) {
    make();
    monitor->setInstrument(*MarketInstrument::preset("btc-usd"));
    answer("btc-usd", 100);
    EXPECT_EQ(monitor->jsonData(),
              R"({"candles":[[1780000000,2,4,1,3]],"change_24h":0,"currency":"USD","interval":"5m",)"
              R"("line_only":false,"market":"crypto","market_open":true,"name":"BTC","pair":"BTC/USD",)"
              R"("price":100,"source":"Coinbase","stale":false,"updated_at":1780000000})");
}

TEST_F(MarketMonitorTest, RefreshCadenceStartsWithTheMonitorAndFollowsTheChoice) {
    make({"btc-usd"}); // nothing to prefetch
    monitor->setRefreshInterval(MarketRefreshInterval::oneMinute);
    EXPECT_EQ(monitor->cadence(), std::nullopt) << "no timer before start()";
    EXPECT_EQ(newCalls(), QStringList{"btc-usd"}) << "a new choice fetches at once";
    answer("btc-usd", 100);
    monitor->start();
    EXPECT_EQ(monitor->cadence(), 60);
    EXPECT_EQ(newCalls(), QStringList{"btc-usd"}) << "so does the start";
    answer("btc-usd", 100);
    monitor->start();
    EXPECT_EQ(newCalls(), QStringList{}) << "once";
    monitor->setRefreshInterval(MarketRefreshInterval::tenSeconds);
    EXPECT_EQ(monitor->cadence(), 10);
    EXPECT_EQ(newCalls(), QStringList{"btc-usd"});
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
    const auto ids = [this] {
        QStringList out;
        for (const MarketInstrument& favorite : monitor->favoriteItems())
            out << favorite.id;
        return out.join(' ');
    };
    const QString defaults = "btc-usd eth-usd cn-sh000001 hk-HSI hk-HSTECH us-NDX us-INX us-AAPL us-NVDA "
                             "us-TSLA kr-KOSPI kr-005930";
    const QString firstFifteen = "btc-usd eth-usd cn-sh000001 cn-sz399001 cn-sz399006 cn-sh000300 hk-HSI "
                                 "hk-HSCEI hk-HSTECH us-NDX us-INX us-DJI us-IXIC us-AAPL us-NVDA";
    const std::pair<QStringList, QString> cases[] = {{MarketInstrument::legacyDefaultFavorites(), defaults},
                                                     {{}, defaults},
                                                     {twenty, firstFifteen},
                                                     {{"?!", "eth-usd"}, "eth-usd"}};
    for (const auto& [stored, expected] : cases) {
        make(stored);
        EXPECT_EQ(ids(), expected);
    }
    make(twenty);
    EXPECT_FALSE(monitor->addFavorite(*MarketInstrument::parse("600519")));
    EXPECT_TRUE(monitor->addFavorite(*MarketInstrument::preset("eth-usd")));
    EXPECT_EQ(ids(), firstFifteen);

    // Choices survive a restart, except those of a monitor told not to store them (the previews).
    monitor->setInterval(MarketInterval::oneHour);
    MarketMonitor preview(
        clock, [](auto&&...) {}, false);
    EXPECT_EQ(preview.requestedInterval(), MarketInterval::oneHour);
    preview.setInterval(MarketInterval::oneMinute);
    EXPECT_EQ(Settings::string("btc_interval"), "60m");
}

} // namespace
