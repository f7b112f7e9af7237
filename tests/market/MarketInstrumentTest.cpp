#include "market/MarketInstrument.h"

#include <QDateTime>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace glimmet;

namespace {

// id, region, provider code, symbol, name, currency and "index" for an index; "-" for none.
std::string line(const std::optional<MarketInstrument>& i) {
    if (!i)
        return "-";
    QStringList fields{i->id, rawValue(i->region), i->providerCode, i->symbol, i->name, i->currency};
    if (i->isIndex)
        fields << "index";
    return fields.join(' ').toStdString();
}

TEST(MarketInstrument, ParsesWhatUsersTypeAndReadsItBack) {
    const std::pair<const char*, const char*> cases[] = {
        {"600519", "cn-sh600519 cn sh600519 600519 600519 CNY"},
        {"  sh:600519\n", "cn-sh600519 cn sh600519 600519 600519 CNY"},
        {"300750", "cn-sz300750 cn sz300750 300750 300750 CNY"},
        {"688981", "cn-sh688981 cn sh688981 688981 688981 CNY"},
        {"bj830799", "cn-bj830799 cn bj830799 830799 830799 CNY"},
        {"hk00700", "hk-00700 hk hk00700 00700 00700 HKD"},
        {"00700", "hk-00700 hk hk00700 00700 00700 HKD"},
        {"HK007", "hk-007 hk hk007 007 007 HKD"},
        {"kr005930", "kr-005930 kr 005930 005930 005930 KRW"},
        {"005930", "kr-005930 kr 005930 005930 三星电子 KRW"}, // aliases of presets
        {"btc/us", "btc-usd crypto BTC-USD BTC/USD BTC USD"},
        {"000001.sh", "cn-sh000001 cn sh000001 000001 上证指数 CNY index"},
        {"恒生科技", "hk-HSTECH hk hkHSTECH HSTECH 恒生科技 HKD index"},
        {"苹果", "us-AAPL us usAAPL AAPL Apple USD"},
        {"aapl", "us-AAPL us usAAPL AAPL Apple USD"},
        {"SPX", "us-INX us usINX SPX 标普500 USD index"},
        {"brk-b", "us-BRK.B us usBRK.B BRK.B BRK.B USD"},
        {"usMSFT", "us-MSFT us usMSFT MSFT MSFT USD"},
        {"茅台", "us-茅台 us us茅台 茅台 茅台 USD"},
        {"SHOP", "cn-shOP cn shOP OP OP CNY"},
        {"００７００", "hk-００７００ hk hk００７００ ００７００ ００７００ HKD"},
        {"été", "us-ÉTÉ us usÉTÉ ÉTÉ ÉTÉ USD"},
        {"E\u0301TE", "us-E\u0301TE us usE\u0301TE E\u0301TE E\u0301TE USD"},
    };
    for (const auto& [input, expected] : cases) {
        const auto parsed = MarketInstrument::parse(QString::fromUtf8(input));
        ASSERT_EQ(line(parsed), expected) << input;
        // A parsed id reads back as the same instrument; presets are looked up by id instead.
        const bool isPreset = bool(MarketInstrument::preset(parsed->id));
        EXPECT_EQ(line(isPreset ? parsed : MarketInstrument::parse(parsed->id)), expected) << input;
        EXPECT_EQ(MarketInstrument::fromJson(parsed->toJson()), parsed) << input;
    }
    for (const char* input : {"830799", "HK07", "kr00593", "BTC/USD", "-", "..", "cn-", "", " \t\n ", "AB1"})
        EXPECT_EQ(line(MarketInstrument::parse(QString::fromUtf8(input))), "-") << input;
}

TEST(MarketInstrument, JsonUsesTheFieldNamesAndKnowsOnlyTheFiveRegions) {
    QJsonObject json = MarketInstrument::preset("us-INX")->toJson();
    EXPECT_EQ(QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString(),
              R"({"currency":"USD","id":"us-INX","isIndex":true,"name":"标普500","providerCode":"usINX",)"
              R"("region":"us","symbol":"SPX"})");
    json["region"] = "US";
    EXPECT_FALSE(MarketInstrument::fromJson(json));
}

TEST(MarketOpen, TradingHoursAtTheirBoundaries) {
    using enum MarketRegion;
    // Local times and whether the market is open at each ('1') from Monday to Friday; every
    // market but crypto is closed on Saturday and Sunday. Both dates are Mondays.
    const std::tuple<MarketRegion, const char*, const char*, const char*, const char*> days[] = {
        {cn, "Asia/Shanghai", "2026-07-13", "09:29 09:30 11:30:59 11:31 12:59 13:00 15:00 15:01", "01100110"},
        {hk, "Asia/Shanghai", "2026-07-13", "09:29 09:30 12:00 12:01 12:59 13:00 16:00 16:01", "01100110"},
        {us, "America/New_York", "2026-07-13", "09:29 09:30 16:00 16:01", "0110"},
        {us, "America/New_York", "2026-01-12", "09:29 09:30 16:00 16:01", "0110"}, // winter time
        {kr, "Asia/Seoul", "2026-07-13", "08:59 09:00 15:30 15:31", "0110"},
        {crypto, "UTC", "2026-07-13", "00:00 23:59", "11"},
    };
    for (const auto& [region, zone, date, times, open] : days) {
        for (int day = 0; day < 7; ++day) {
            QString result;
            for (const QString& time : QString::fromLatin1(times).split(' ')) {
                const QDateTime local(QDate::fromString(date, Qt::ISODate).addDays(day),
                                      QTime::fromString(time, Qt::ISODate), QTimeZone(zone));
                result += marketOpen(region, double(local.toSecsSinceEpoch())) ? '1' : '0';
            }
            const bool weekend = day >= 5 && region != crypto;
            EXPECT_EQ(result, weekend ? QString(result.size(), '0') : open)
                << zone << ' ' << date << '+' << day;
        }
    }
    // Far outside the calendar there is no local date to judge by.
    for (double now : {std::nan(""), std::numeric_limits<double>::infinity(), -1e300, 1e300}) {
        for (MarketRegion region : allMarketRegions)
            EXPECT_EQ(marketOpen(region, now), region == crypto) << now;
    }
}

} // namespace
