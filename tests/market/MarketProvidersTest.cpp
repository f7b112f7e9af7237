#include "market/MarketFetch.h"

#include "common/Endpoints.h"
#include "support/FakeClock.h"
#include "support/FakeHttpServer.h"
#include "support/TempHome.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <future>

using namespace glimmet;
using namespace glimmet::test;

namespace {

using Answers = QList<std::pair<QString, FakeResponse>>;
const auto json = [](const char* body, int status = 200) { return FakeResponse{status, body}; };

// The snapshot in one line: source, line flag, candle count, newest candle, price and change.
QString summary(const MarketResult& r) {
    if (!r)
        return QStringLiteral("error ") + r.error().description;
    const auto c = r->candles.isEmpty() ? MarketCandle{} : r->candles.back();
    return r->source + QString::asprintf("%s n=%d (%lld %g %g %g %g) %g %.2f%%", r->lineOnly ? "-line" : "",
                                         int(r->candles.size()), qint64(c.time), c.low, c.high, c.open,
                                         c.close, r->price, r->change24h);
}

struct Fetched {
    QString summary;
    QStringList targets;
};

// One fetch with every market endpoint on a fake server that answers `answers` (404 otherwise).
Fetched fetch(const QString& symbol, const Answers& answers, MarketInterval interval) {
    TempHome home;
    FakeHttpServer fake;
    for (const auto& [path, response] : answers)
        fake.setResponse(path, response);
    for (int e = int(Endpoint::Coinbase); e <= int(Endpoint::NaverChart); ++e)
        Endpoints::setOverride(Endpoint(e), fake.baseUrl());
    SerialQueue queue(QStringLiteral("market-test"));
    std::promise<MarketResult> promise;
    MarketFetch::fetchMarket(MarketInstrument::preset(symbol).value_or(*MarketInstrument::parse(symbol)),
                             interval, {queue.context(), std::make_shared<FakeClock>()},
                             [&promise](MarketResult result) { promise.set_value(std::move(result)); });
    auto future = promise.get_future();
    if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
        return {"no answer"};
    Fetched fetched{summary(future.get())};
    for (const RecordedRequest& request : fake.requests()) {
        fetched.targets.append(request.target);
        EXPECT_EQ(request.header("User-Agent"), "GlimmetBridge/1.0");
    }
    return fetched;
}

TEST(MarketProviders, ProviderChains) {
    QJsonArray newestFirst; // one row per 5 minutes, the newest at 1779999900
    for (int i = 0; i < 300; ++i)
        newestFirst.append(
            QJsonArray{1779999900 - 300 * i, 100 + i, 200 + i, 150 + i, QString::number(160 + i)});
    const QByteArray rows = QJsonDocument(newestFirst).toJson();
    const QByteArray gbkQuote = "v_sh600519=\"1~\xb9\xf3\xd6\xdd\xc3\xa9\xcc\xa8~600519~1,500.00~1490.00~\";";
    const struct {
        const char* symbol;
        Answers answers;
        const char* expected;
    } cases[] = {
        {"BTC",
         {{"/products/BTC-USD/candles", {200, rows}}, {"/products/BTC-USD/stats", json(R"({"open":"80"})")}},
         "Coinbase n=36 (1779999900 100 200 150 160) 160 100.00%"},
        {"BTC",
         {{"/products/BTC-USD/candles", json("[]", 429)},
          {"/products/BTC-USD/stats", json("{}")},
          {"/api/v2/ohlc/btcusd/", json(R"({"data":{"ohlc":[
              {"timestamp":1780000500,"open":"11","high":"13","close":"12"},{"open":"1"},
              {"timestamp":"1780000200","open":"10","high":"12","low":"9","close":"11"}]}})")},
          {"/api/v2/ticker/btcusd/", json(R"({"last":"12.5","open":"10"})")}},
         "Bitstamp n=2 (1780000500 0 13 11 12) 12.5 25.00%"},
        {"BTC",
         {{"/products/BTC-USD/candles", {200, rows}}, {"/api/v2/ticker/btcusd/", json("{}")}},
         "error Bitstamp 解析失败"},
        {"BTC",
         {{"/products/BTC-USD/candles", json(R"([[1,2,3,4]])")},
          {"/products/BTC-USD/stats", json(R"({"last":5,"open":0})")}},
         "Coinbase n=0 (0 0 0 0 0) 5 0.00%"},
        {"600519",
         {{"/q=sh600519", {200, gbkQuote}}, {"/appstock/app/kline/mkline", json(R"({"data":{"sh600519":{"5m":[
              ["202605281005","1490","1495","1496","1489"],["202605281000","1","2","3"]]}}})")}},
         "Tencent n=1 (1779933900 1489 1496 1490 1495) 1500 0.67%"},
        {"600519",
         {{"/q=sh600519", {200, gbkQuote}},
          {"/appstock/app/kline/mkline", json(R"({"data":{"sh600519":{"1m":[]}}})")},
          {"/appstock/app/fqkline/get", json("{not json")},
          {"/api/qt/stock/kline/get",
           json(R"({"data":{"klines":["2026-05-28 10:00,1490,1495,1496,1489,9"]}})")}},
         "Eastmoney n=1 (1779933600 1489 1496 1490 1495) 1500 0.67%"},
        {"600519",
         {{"/q=sh600519", {200, gbkQuote}},
          {"/appstock/app/minute/query",
           json(
               R"({"data":{"sh600519":{"data":{"data":["0930 10.50 1200","0931 10.40 900","0932 x 1"]}}}})")}},
         "Tencent-line n=1 (1780018200 10.4 10.5 10.5 10.4) 1500 0.67%"},
        {"hk00700",
         {{"/q=hk00700", json("v_hk00700=\"1~腾讯~00700~380~400~\"")},
          {"/appstock/app/fqkline/get",
           json(R"({"data":{"hk00700":{"qfqday":[["2026-05-27","380","385","386","379"]]}}})")}},
         "Tencent-DAY n=1 (1779811200 379 386 380 385) 380 -5.00%"},
        {"AAPL",
         {{"/q=usAAPL", json("v_usAAPL=\"1~Apple~AAPL~200~0~\"")}},
         "Tencent-line n=0 (0 0 0 0 0) 200 0.00%"},
        {"600519", {{"/q=sh600519", json("v_sh600519=\"1~a~600519~0~1490~\"")}}, "error 腾讯报价解析失败"},
        {"kr005930",
         {{"/api/stock/005930/basic",
           json(R"({"closePrice":"70,000","compareToPreviousClosePrice":"-500"})")},
          {"/chart/domestic/item/005930/minute",
           json(R"([7,{"localDateTime":"20260529093000","currentPrice":70000,
              "openPrice":70100,"highPrice":70200,"lowPrice":69900},{"localDateTime":"20260529093100"}])")}},
         "Naver n=1 (1780014600 69900 70200 70100 70000) 70000 -0.71%"},
        {"kr005930", {{"/api/stock/005930/basic", json(R"({"closePrice":0})")}}, "error Naver 报价解析失败"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fetch(QString::fromUtf8(c.symbol), c.answers, MarketInterval::fiveMinutes).summary,
                  QString::fromUtf8(c.expected))
            << c.symbol << " " << c.expected;
    }
}

TEST(MarketProviders, RequestTargets) {
    const struct {
        const char* symbol;
        const char* expected;
    } cases[] = {
        {"BTC", "/products/BTC-USD/candles?granularity=3600 /products/BTC-USD/stats "
                "/api/v2/ohlc/btcusd/?step=3600&limit=36 /api/v2/ticker/btcusd/"},
        {"sz300750",
         "/q=sz300750 /appstock/app/kline/mkline?param=sz300750,60m,,36 "
         "/appstock/app/fqkline/get?param=sz300750,day,,,36,qfq "
         "/api/qt/stock/kline/get?secid=0.300750&ut=3f0c9a52e1d84b7a96c20e5fd17b48a3&fields1=f1,f2,f3,"
         "f4,f5,f6&fields2=f51,f52,f53,f54,f55,f56,f57,f58,f59,f60,f61&klt=60&fqt=1&beg=0&end=20500101&"
         "smplmt=460&lmt=36 /appstock/app/minute/query?code=sz300750"},
        {"kr-KOSPI", "/api/index/KOSPI/basic "
                     "/chart/domestic/index/KOSPI/minute?startTime=20260529090000&endTime=20260529052640"},
    };
    for (const auto& c : cases) {
        const Answers quotes = {{"/q=sz300750", json("v_sz300750=\"1~a~300750~80~80~\"")}};
        QStringList targets = fetch(QString::fromUtf8(c.symbol), quotes, MarketInterval::oneHour).targets;
        targets.sort(); // the pairs of concurrent requests arrive in any order
        QStringList expected = QString::fromUtf8(c.expected).split(u' ');
        expected.sort();
        EXPECT_EQ(targets, expected) << c.symbol;
    }
}

TEST(MarketFetch, ValuesTimesAndBuckets) {
    const QTimeZone shanghai("Asia/Shanghai");
    const double now = 1'780'000'000; // 2026-05-29 04:26:40 in Shanghai
    const struct {
        QJsonValue value;
        std::optional<double> time;
    } times[] = {{2e10, 2e7},
                 {1733400000, 1733400000},
                 {202412051530.0, 1733383800},
                 {"0930", 1780018200},
                 {1733400000000.0, 1733400000000.0},
                 {"2024/12/05 15:30:00", 1733383800},
                 {"2024-12-05", 1733328000},
                 {"12abc", std::nullopt},
                 {1e19, std::nullopt}};
    for (const auto& t : times)
        EXPECT_EQ(MarketFetch::parseTime(t.value, shanghai, now), t.time)
            << t.value.toVariant().toString().toStdString();
    EXPECT_EQ(MarketFetch::number(QStringLiteral("1,234.5")), 1234.5);
    EXPECT_EQ(MarketFetch::number(QStringLiteral("12abc")), std::nullopt);

    const double t0931 = 1780018260;
    const QList<MarketCandle> minutes = {
        {t0931 + 300, 9, 12, 10, 11}, {t0931, 5, 8, 6, 7}, {t0931 + 60, 4, 9, 7, 8}};
    const QList<MarketCandle> merged = {{t0931, 4, 9, 6, 8}, {t0931 + 300, 9, 12, 10, 11}};
    EXPECT_EQ(MarketFetch::aggregate(minutes, MarketInterval::fiveMinutes), merged);
    QList<MarketCandle> many(40);
    for (int i = 0; i < 40; ++i)
        many[i].time = i * 3600;
    EXPECT_EQ(MarketFetch::aggregate(many, MarketInterval::oneHour), many.mid(4));
}

} // namespace
