#include "market/MarketInstrument.h"
#include "market/MarketInterval.h"
#include "market/MarketRefreshInterval.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QSet>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace glimmet;

namespace {

MarketInstrument instrument(const char* id, MarketRegion region, const char* providerCode, const char* symbol,
                            const char* name, const char* currency, bool isIndex = false) {
    return {QString::fromUtf8(id),
            region,
            QString::fromUtf8(providerCode),
            QString::fromUtf8(symbol),
            QString::fromUtf8(name),
            QString::fromUtf8(currency),
            isIndex};
}

std::string describe(const std::optional<MarketInstrument>& i) {
    if (!i)
        return "nothing";
    return QJsonDocument(i->toJson()).toJson(QJsonDocument::Compact).toStdString();
}

TEST(MarketInstrument, ParsesWhatUsersType) {
    const auto us = MarketRegion::us;
    const struct {
        const char* input;
        std::optional<MarketInstrument> expected;
    } cases[] = {
        // Bare A-share codes go to Shanghai or Shenzhen by their first digits.
        {"600519", instrument("cn-sh600519", MarketRegion::cn, "sh600519", "600519", "600519", "CNY")},
        {"  sh:600519\n", instrument("cn-sh600519", MarketRegion::cn, "sh600519", "600519", "600519", "CNY")},
        {"300750", instrument("cn-sz300750", MarketRegion::cn, "sz300750", "300750", "300750", "CNY")},
        {"688981", instrument("cn-sh688981", MarketRegion::cn, "sh688981", "688981", "688981", "CNY")},
        {"002594", instrument("cn-sz002594", MarketRegion::cn, "sz002594", "002594", "002594", "CNY")},
        {"830799", std::nullopt},
        {"bj830799", instrument("cn-bj830799", MarketRegion::cn, "bj830799", "830799", "830799", "CNY")},
        // Hong Kong: explicit prefix or five digits.
        {"hk00700", instrument("hk-00700", MarketRegion::hk, "hk00700", "00700", "00700", "HKD")},
        {"00700", instrument("hk-00700", MarketRegion::hk, "hk00700", "00700", "00700", "HKD")},
        {"HK007", instrument("hk-007", MarketRegion::hk, "hk007", "007", "007", "HKD")},
        {"HK07", std::nullopt},
        // Korea: the prefix needs a six-character code; the bare code is an alias of the preset.
        {"kr005930", instrument("kr-005930", MarketRegion::kr, "005930", "005930", "005930", "KRW")},
        {"005930", instrument("kr-005930", MarketRegion::kr, "005930", "005930", "三星电子", "KRW")},
        {"kr00593", std::nullopt},
        // Aliases give presets, compared after upper-casing.
        {"AAPL", instrument("us-AAPL", us, "usAAPL", "AAPL", "Apple", "USD")},
        {"aapl", instrument("us-AAPL", us, "usAAPL", "AAPL", "Apple", "USD")},
        {"SPX", instrument("us-INX", us, "usINX", "SPX", "标普500", "USD", true)},
        {"btc", instrument("btc-usd", MarketRegion::crypto, "BTC-USD", "BTC/USD", "BTC", "USD")},
        {"BTC-USD", instrument("btc-usd", MarketRegion::crypto, "BTC-USD", "BTC/USD", "BTC", "USD")},
        {"eth/us", instrument("eth-usd", MarketRegion::crypto, "ETH-USD", "ETH/USD", "ETH", "USD")},
        {"恒生指数", instrument("hk-HSI", MarketRegion::hk, "hkHSI", "HSI", "恒生指数", "HKD", true)},
        {"000001.sh",
         instrument("cn-sh000001", MarketRegion::cn, "sh000001", "000001", "上证指数", "CNY", true)},
        {"BTC/USD", std::nullopt},
        // Bare tickers: letters, "." and "-" (read as ".").
        {"brk-b", instrument("us-BRK.B", us, "usBRK.B", "BRK.B", "BRK.B", "USD")},
        {"us-BRK.B", instrument("us-BRK.B", us, "usBRK.B", "BRK.B", "BRK.B", "USD")},
        {"usMSFT", instrument("us-MSFT", us, "usMSFT", "MSFT", "MSFT", "USD")},
        {"茅台", instrument("us-茅台", us, "us茅台", "茅台", "茅台", "USD")},
        {"SHOP", instrument("cn-shOP", MarketRegion::cn, "shOP", "OP", "OP", "CNY")},
        {"-", std::nullopt},
        {"..", std::nullopt},
        // Prefixed ids read back as their codes.
        {"cn-sh600519", instrument("cn-sh600519", MarketRegion::cn, "sh600519", "600519", "600519", "CNY")},
        {"hk-00700", instrument("hk-00700", MarketRegion::hk, "hk00700", "00700", "00700", "HKD")},
        {"kr-005930", instrument("kr-005930", MarketRegion::kr, "005930", "005930", "005930", "KRW")},
        {"cn-", std::nullopt},
        // Unicode digits and letters count like their ASCII kin.
        {"００７００",
         instrument("hk-００７００", MarketRegion::hk, "hk００７００", "００７００", "００７００", "HKD")},
        {"été", instrument("us-ÉTÉ", us, "usÉTÉ", "ÉTÉ", "ÉTÉ", "USD")},
        {"E\u0301TE", instrument("us-E\u0301TE", us, "usE\u0301TE", "E\u0301TE", "E\u0301TE", "USD")},
        {"١٢٣", std::nullopt},
        {"", std::nullopt},
        {" \t\n ", std::nullopt},
        {"12", std::nullopt},
        {"AB1", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(describe(MarketInstrument::parse(QString::fromUtf8(c.input))), describe(c.expected))
            << c.input;
}

TEST(MarketInstrument, ParsedIdsParseBackToEqualInstruments) {
    for (const char* input : {"600519", "300750", "bj830799", "00700", "hk00700", "kr005930", "brk-b",
                              "usMSFT", "茅台", "SHOP", "NFLX", "００７００"}) {
        const auto first = MarketInstrument::parse(QString::fromUtf8(input));
        ASSERT_TRUE(first) << input;
        EXPECT_EQ(describe(MarketInstrument::parse(first->id)), describe(first)) << input;
        EXPECT_EQ(describe(MarketInstrument::parse(first->id.toLower())), describe(first)) << input;
    }
}

TEST(MarketInstrument, CatalogueListsAreThoseOfTheTables) {
    const auto& presets = MarketInstrument::presets();
    ASSERT_EQ(presets.size(), 19);
    EXPECT_EQ(presets.front().id, "btc-usd"); // the instrument of a first start
    EXPECT_EQ(presets.back().id, "kr-005930");
    EXPECT_EQ(describe(MarketInstrument::preset("kr-KOSPI")),
              describe(instrument("kr-KOSPI", MarketRegion::kr, "KOSPI", "KOSPI", "韩国综合", "KRW", true)));
    EXPECT_EQ(
        describe(MarketInstrument::preset("us-IXIC")),
        describe(instrument("us-IXIC", MarketRegion::us, "usIXIC", "IXIC", "纳斯达克综合", "USD", true)));
    EXPECT_EQ(
        describe(MarketInstrument::preset("hk-HSTECH")),
        describe(instrument("hk-HSTECH", MarketRegion::hk, "hkHSTECH", "HSTECH", "恒生科技", "HKD", true)));
    EXPECT_FALSE(MarketInstrument::preset("BTC-USD"));
    EXPECT_FALSE(MarketInstrument::preset(""));

    QStringList favoriteIds;
    for (const MarketInstrument& f : MarketInstrument::defaultFavorites()) {
        favoriteIds << f.id;
        EXPECT_EQ(describe(MarketInstrument::preset(f.id)), describe(f));
    }
    EXPECT_EQ(favoriteIds, QStringList({"btc-usd", "eth-usd", "cn-sh000001", "hk-HSI", "hk-HSTECH", "us-NDX",
                                        "us-INX", "us-AAPL", "us-NVDA", "us-TSLA", "kr-KOSPI", "kr-005930"}));
    EXPECT_EQ(MarketInstrument::legacyDefaultFavorites(),
              QStringList({"btc-usd", "eth-usd", "cn-sh000001", "cn-sz399001", "cn-sh000300", "hk-HSI",
                           "hk-HSTECH", "us-NDX", "us-INX", "us-DJI", "us-AAPL", "us-NVDA", "us-TSLA",
                           "kr-KOSPI", "kr-005930"}));

    const auto& aliases = MarketInstrument::aliases();
    ASSERT_EQ(aliases.size(), 40);
    EXPECT_EQ(aliases.front(), std::pair(QString("BTC"), QString("btc-usd")));
    EXPECT_EQ(aliases.back(), std::pair(QString("特斯拉"), QString("us-TSLA")));
    QSet<QString> keys;
    for (const auto& [key, id] : aliases) {
        EXPECT_EQ(key, key.toUpper()) << key.toStdString();
        EXPECT_TRUE(MarketInstrument::preset(id)) << id.toStdString();
        keys.insert(key);
        // Every alias leads to its preset through the parser.
        EXPECT_EQ(describe(MarketInstrument::parse(key)), describe(MarketInstrument::preset(id)))
            << key.toStdString();
    }
    EXPECT_EQ(keys.size(), 40);
}

TEST(MarketInstrument, JsonCodingUsesTheFieldNamesAndRejectsUnknownRegions) {
    const MarketInstrument spx = *MarketInstrument::preset("us-INX");
    const QJsonObject json = spx.toJson();
    EXPECT_EQ(json, QJsonObject({{"id", "us-INX"},
                                 {"region", "us"},
                                 {"providerCode", "usINX"},
                                 {"symbol", "SPX"},
                                 {"name", "标普500"},
                                 {"currency", "USD"},
                                 {"isIndex", true}}));
    for (const MarketInstrument& p : MarketInstrument::presets())
        EXPECT_EQ(MarketInstrument::fromJson(p.toJson()), p) << p.id.toStdString();

    const struct {
        const char* key;
        QJsonValue value;
    } broken[] = {
        {"region", "eu"},    {"region", "US"}, {"region", QJsonValue()},
        {"isIndex", "true"}, {"symbol", 5},    {"name", QJsonValue::Null},
    };
    for (const auto& b : broken) {
        QJsonObject object = json;
        object.insert(QLatin1String(b.key), b.value);
        EXPECT_FALSE(MarketInstrument::fromJson(object)) << b.key;
    }
    QJsonObject missing = json;
    missing.remove("currency");
    EXPECT_FALSE(MarketInstrument::fromJson(missing));
}

TEST(MarketInstrument, EqualOnlyWhenAllSevenFieldsAre) {
    const MarketInstrument aapl = *MarketInstrument::preset("us-AAPL");
    EXPECT_EQ(aapl, *MarketInstrument::parse("AAPL"));
    MarketInstrument changed = aapl;
    changed.isIndex = true;
    EXPECT_NE(changed, aapl);
    changed = aapl;
    changed.name = "AAPL";
    EXPECT_NE(changed, aapl); // what "usAAPL" parses to
    EXPECT_EQ(changed, *MarketInstrument::parse("usAAPL"));
}

TEST(MarketEnumerations, RawValuesInDeclarationOrder) {
    QStringList regions, intervals, refreshes;
    for (MarketRegion r : allMarketRegions)
        regions << rawValue(r);
    for (MarketInterval i : allMarketIntervals)
        intervals << rawValue(i);
    for (MarketRefreshInterval r : allMarketRefreshIntervals)
        refreshes << rawValue(r);
    EXPECT_EQ(regions, QStringList({"crypto", "cn", "hk", "us", "kr"}));
    EXPECT_EQ(intervals, QStringList({"1m", "5m", "60m"}));
    EXPECT_EQ(refreshes, QStringList({"10", "30", "60", "120"}));

    for (MarketRegion r : allMarketRegions)
        EXPECT_EQ(marketRegionFromRaw(rawValue(r)), r);
    for (MarketInterval i : allMarketIntervals)
        EXPECT_EQ(marketIntervalFromRaw(rawValue(i)), i);
    for (MarketRefreshInterval r : allMarketRefreshIntervals) {
        EXPECT_EQ(marketRefreshIntervalFromRaw(rawValue(r)), r);
        EXPECT_EQ(seconds(r), rawValue(r).toInt());
    }
    for (const char* bad : {"", "HK", "5", "1h", "010", "60 "}) {
        EXPECT_FALSE(marketRegionFromRaw(QString::fromLatin1(bad))) << bad;
        EXPECT_FALSE(marketIntervalFromRaw(QString::fromLatin1(bad))) << bad;
        EXPECT_FALSE(marketRefreshIntervalFromRaw(QString::fromLatin1(bad))) << bad;
    }
    EXPECT_EQ(bucketSeconds(MarketInterval::oneMinute), 60);
    EXPECT_EQ(bucketSeconds(MarketInterval::fiveMinutes), 300);
    EXPECT_EQ(bucketSeconds(MarketInterval::oneHour), 3600);
    EXPECT_EQ(minuteCount(MarketInterval::oneHour), 60);

    EXPECT_EQ(timeZone(MarketRegion::crypto).offsetFromUtc(QDateTime::currentDateTimeUtc()), 0);
    EXPECT_EQ(timeZone(MarketRegion::cn).id(), "Asia/Shanghai");
    EXPECT_EQ(timeZone(MarketRegion::hk).id(), "Asia/Shanghai");
    EXPECT_EQ(timeZone(MarketRegion::us).id(), "America/New_York");
    EXPECT_EQ(timeZone(MarketRegion::kr).id(), "Asia/Seoul");
}

double localTime(const char* zone, const char* iso) {
    const QDateTime parsed = QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate);
    return double(QDateTime(parsed.date(), parsed.time(), QTimeZone(zone)).toSecsSinceEpoch());
}

TEST(MarketOpen, TradingHoursAtTheirBoundaries) {
    // 2026-07-15 is a Wednesday, 2026-07-18 a Saturday, 2026-07-19 a Sunday.
    const struct {
        MarketRegion region;
        const char* zone;
        const char* local;
        bool open;
    } cases[] = {
        {MarketRegion::cn, "Asia/Shanghai", "2026-07-15T09:29:59", false},
        {MarketRegion::cn, "Asia/Shanghai", "2026-07-15T09:30:00", true},
        {MarketRegion::cn, "Asia/Shanghai", "2026-07-15T11:30:59", true},
        {MarketRegion::cn, "Asia/Shanghai", "2026-07-15T11:31:00", false},
        {MarketRegion::cn, "Asia/Shanghai", "2026-07-15T12:59:00", false},
        {MarketRegion::cn, "Asia/Shanghai", "2026-07-15T13:00:00", true},
        {MarketRegion::cn, "Asia/Shanghai", "2026-07-15T15:00:00", true},
        {MarketRegion::cn, "Asia/Shanghai", "2026-07-15T15:01:00", false},
        {MarketRegion::cn, "Asia/Shanghai", "2026-07-18T10:00:00", false},
        {MarketRegion::hk, "Asia/Shanghai", "2026-07-15T09:29:00", false},
        {MarketRegion::hk, "Asia/Shanghai", "2026-07-15T09:30:00", true},
        {MarketRegion::hk, "Asia/Shanghai", "2026-07-15T12:00:00", true},
        {MarketRegion::hk, "Asia/Shanghai", "2026-07-15T12:01:00", false},
        {MarketRegion::hk, "Asia/Shanghai", "2026-07-15T13:00:00", true},
        {MarketRegion::hk, "Asia/Shanghai", "2026-07-15T16:00:00", true},
        {MarketRegion::hk, "Asia/Shanghai", "2026-07-15T16:01:00", false},
        {MarketRegion::hk, "Asia/Shanghai", "2026-07-19T10:00:00", false},
        {MarketRegion::us, "America/New_York", "2026-07-15T09:29:00", false},
        {MarketRegion::us, "America/New_York", "2026-07-15T09:30:00", true},
        {MarketRegion::us, "America/New_York", "2026-07-15T16:00:00", true},
        {MarketRegion::us, "America/New_York", "2026-07-15T16:01:00", false},
        {MarketRegion::us, "America/New_York", "2026-01-14T16:00:00", true}, // winter time
        {MarketRegion::us, "America/New_York", "2026-01-14T16:01:00", false},
        {MarketRegion::us, "America/New_York", "2026-07-17T15:59:00", true}, // Friday
        {MarketRegion::us, "America/New_York", "2026-07-18T12:00:00", false},
        {MarketRegion::kr, "Asia/Seoul", "2026-07-15T08:59:00", false},
        {MarketRegion::kr, "Asia/Seoul", "2026-07-15T09:00:00", true},
        {MarketRegion::kr, "Asia/Seoul", "2026-07-15T15:30:00", true},
        {MarketRegion::kr, "Asia/Seoul", "2026-07-15T15:31:00", false},
        {MarketRegion::kr, "Asia/Seoul", "2026-07-13T09:00:00", true}, // Monday
        {MarketRegion::kr, "Asia/Seoul", "2026-07-19T12:00:00", false},
        {MarketRegion::crypto, "UTC", "2026-07-19T03:00:00", true},
        {MarketRegion::crypto, "UTC", "2026-07-18T23:59:00", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(marketOpen(c.region, localTime(c.zone, c.local)), c.open)
            << rawValue(c.region).toStdString() << " " << c.local;
}

TEST(MarketOpen, TimesWithoutALocalDateAreClosed) {
    for (double now : {std::nan(""), std::numeric_limits<double>::infinity(), -1e300, 1e300}) {
        for (MarketRegion region : {MarketRegion::cn, MarketRegion::hk, MarketRegion::us, MarketRegion::kr})
            EXPECT_FALSE(marketOpen(region, now)) << now;
        EXPECT_TRUE(marketOpen(MarketRegion::crypto, now));
    }
}

} // namespace
