// The answer bodies of the market data providers, read as each fetch reads them (text, or a
// JSON object or array), through the stock providers' parsers, the candle aggregation, and
// the value and time readers every provider (the crypto ones too) applies to each field. The
// first byte picks the parser, the second the interval, region and series key; the rest is
// the body.
#include "market/MarketFetch.h"
#include "market/MarketInterval.h"
#include "market/MarketRegion.h"
#include "market/StockProviders.h"
#include "tools/fuzz/FuzzInput.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace glimmet;

namespace {

constexpr double now = 1'780'000'000.0;

void checkCandles(const QList<MarketCandle>& candles, MarketInterval interval) {
    if (MarketFetch::aggregate(candles, interval).size() > MarketFetch::maxCandles)
        std::abort();
}

// Every scalar of the document through the value and time readers.
void readValues(const QJsonValue& value, const QTimeZone& zone, int depth = 0) {
    if (depth > 64)
        return;
    if (value.isArray()) {
        for (const QJsonValue& item : value.toArray())
            readValues(item, zone, depth + 1);
    } else if (value.isObject()) {
        for (const QJsonValue& item : value.toObject())
            readValues(item, zone, depth + 1);
    } else {
        (void)MarketFetch::number(value);
        (void)MarketFetch::parseTime(value, zone, now);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const QString keys[] = {QStringLiteral("5m"), QStringLiteral("1m"), QStringLiteral("60m"),
                                   QStringLiteral("day"), QStringLiteral("qfqday")};
    fuzz::InputReader input(data, size);
    const uint8_t parser = input.byte();
    const uint8_t choice = input.byte();
    const QByteArray body = input.rest();
    const MarketInterval interval = allMarketIntervals[choice % allMarketIntervals.size()];
    const QTimeZone zone = timeZone(allMarketRegions[choice / 4 % allMarketRegions.size()]);
    const QString code = QStringLiteral("sh600519");

    if (parser % 7 == 0) {
        (void)StockProviders::parseTencentQuote(QString::fromUtf8(body));
        return 0;
    }
    // What getJSON hands a provider: a top-level object or array.
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject() && !document.isArray())
        return 0;
    const QJsonValue json =
        document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());
    switch (parser % 7) {
    case 1:
        checkCandles(StockProviders::parseTencentKlines(json, code, keys[choice / 20 % 5], zone, now),
                     interval);
        break;
    case 2:
        if (const auto rows = StockProviders::tencentMinuteRows(json, code))
            checkCandles(StockProviders::lineCandles(*rows, interval, zone, now), interval);
        break;
    case 3:
        checkCandles(StockProviders::parseEastmoney(json, zone, now), interval);
        break;
    case 4:
        (void)StockProviders::parseNaverQuote(json);
        break;
    case 5:
        checkCandles(StockProviders::parseNaverCandles(json, now), interval);
        break;
    default:
        readValues(json, zone);
        break;
    }
    return 0;
}
