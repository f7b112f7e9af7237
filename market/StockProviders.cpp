#include "market/StockProviders.h"

#include "common/Endpoints.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>

namespace glimmet {

namespace {

const QString eastmoneyToken = QStringLiteral("3f0c9a52e1d84b7a96c20e5fd17b48a3");

QTimeZone seoul() {
    return QTimeZone("Asia/Seoul");
}

MarketResult quoteError() {
    return std::unexpected(MarketFetch::marketError(QStringLiteral("腾讯报价解析失败")));
}

MarketSnapshot stockSnapshot(const MarketInstrument& instrument, MarketInterval interval,
                             QList<MarketCandle> candles, TencentQuote quote, const char* source,
                             const MarketFetchContext& context) {
    return MarketFetch::snapshot(instrument, interval, std::move(candles), quote.price, quote.previous,
                                 QString::fromLatin1(source), context.clock->now());
}

// GETs one JSON value; a failed request counts as a null value.
void getValue(const QUrl& url, const MarketFetchContext& context,
              std::function<void(const QJsonValue&)> next) {
    MarketFetch::getJSON(url, context, [next = std::move(next)](Result<QJsonValue> result) {
        next(result ? *result : QJsonValue());
    });
}

// A candle from five values in Tencent's order: time, open, close, high, low.
std::optional<MarketCandle> candleOf(std::optional<double> time, const QJsonValue& open,
                                     const QJsonValue& close, const QJsonValue& high, const QJsonValue& low) {
    const auto o = MarketFetch::number(open), c = MarketFetch::number(close), h = MarketFetch::number(high),
               l = MarketFetch::number(low);
    if (!time || !o || !c || !h || !l)
        return std::nullopt;
    return MarketCandle{*time, *l, *h, *o, *c};
}

} // namespace

void StockProviders::fetchTencent(const MarketInstrument& instrument, MarketInterval interval,
                                  const MarketFetchContext& context, MarketCompletion completion) {
    const QString code = MarketFetch::urlCode(instrument.providerCode);
    const QString param = code + u',' + rawValue(interval);
    QString chartPath;
    if (instrument.region == MarketRegion::cn)
        chartPath = QStringLiteral("/appstock/app/kline/mkline?param=") + param + QStringLiteral(",,36");
    else if (instrument.region == MarketRegion::hk)
        chartPath = QStringLiteral("/appstock/app/fqkline/get?param=") + param + QStringLiteral(",,,36,qfq");

    const auto text = std::make_shared<std::optional<QString>>();
    const auto chart = std::make_shared<QJsonValue>();
    const auto done =
        MarketFetch::after(chartPath.isEmpty() ? 1 : 2, [=, completion = std::move(completion)] {
            const auto quote = *text ? parseTencentQuote(**text) : std::nullopt;
            if (!quote)
                return completion(quoteError());
            if (instrument.region == MarketRegion::us)
                return fetchTencentMinute(instrument, interval, *quote, context, completion);
            const QTimeZone zone = timeZone(instrument.region);
            QList<MarketCandle> candles = parseTencentKlines(*chart, instrument.providerCode,
                                                             rawValue(interval), zone, context.clock->now());
            if (candles.isEmpty())
                return fetchTencentDaily(instrument, interval, *quote, context, completion);
            completion(stockSnapshot(instrument, interval, std::move(candles), *quote, "Tencent", context));
        });
    MarketFetch::getText(Endpoints::url(Endpoint::TencentQuote, QStringLiteral("/q=") + code), context,
                         [text, done](Result<QString> result) {
                             if (result)
                                 *text = std::move(*result);
                             done();
                         });
    if (!chartPath.isEmpty())
        getValue(Endpoints::url(Endpoint::TencentChart, chartPath), context,
                 [chart, done](const QJsonValue& v) {
                     *chart = v;
                     done();
                 });
}

void StockProviders::fetchTencentDaily(const MarketInstrument& instrument, MarketInterval interval,
                                       TencentQuote quote, const MarketFetchContext& context,
                                       MarketCompletion completion) {
    const QString path = QStringLiteral("/appstock/app/fqkline/get?param=") +
                         MarketFetch::urlCode(instrument.providerCode) + QStringLiteral(",day,,,36,qfq");
    getValue(Endpoints::url(Endpoint::TencentChart, path), context,
             [=, completion = std::move(completion)](const QJsonValue& value) {
                 const QTimeZone zone = timeZone(instrument.region);
                 const double now = context.clock->now();
                 QList<MarketCandle> candles =
                     parseTencentKlines(value, instrument.providerCode, QStringLiteral("day"), zone, now);
                 if (candles.isEmpty())
                     candles = parseTencentKlines(value, instrument.providerCode, QStringLiteral("qfqday"),
                                                  zone, now);
                 if (candles.isEmpty() && instrument.region == MarketRegion::cn)
                     return fetchEastmoney(instrument, interval, quote, context, completion);
                 if (candles.isEmpty())
                     return fetchTencentMinute(instrument, interval, quote, context, completion);
                 completion(
                     stockSnapshot(instrument, interval, std::move(candles), quote, "Tencent-DAY", context));
             });
}

void StockProviders::fetchEastmoney(const MarketInstrument& instrument, MarketInterval interval,
                                    TencentQuote quote, const MarketFetchContext& context,
                                    MarketCompletion completion) {
    const QString secid = QLatin1String(instrument.providerCode.startsWith(u"sh") ? "1" : "0") + u'.' +
                          MarketFetch::urlCode(instrument.providerCode.mid(2));
    const QString path = QStringLiteral("/api/qt/stock/kline/get?secid=") + secid + QStringLiteral("&ut=") +
                         eastmoneyToken + QStringLiteral("&fields1=f1,f2,f3,f4,f5,f6") +
                         QStringLiteral("&fields2=f51,f52,f53,f54,f55,f56,f57,f58,f59,f60,f61") +
                         QStringLiteral("&klt=") + QString::number(minuteCount(interval)) +
                         QStringLiteral("&fqt=1&beg=0&end=20500101&smplmt=460&lmt=36");
    getValue(Endpoints::url(Endpoint::Eastmoney, path), context,
             [=, completion = std::move(completion)](const QJsonValue& value) {
                 QList<MarketCandle> candles =
                     parseEastmoney(value, timeZone(instrument.region), context.clock->now());
                 if (candles.isEmpty())
                     return fetchTencentMinute(instrument, interval, quote, context, completion);
                 completion(
                     stockSnapshot(instrument, interval, std::move(candles), quote, "Eastmoney", context));
             });
}

void StockProviders::fetchTencentMinute(const MarketInstrument& instrument, MarketInterval interval,
                                        TencentQuote quote, const MarketFetchContext& context,
                                        MarketCompletion completion) {
    const char* path = instrument.region == MarketRegion::cn   ? "minute/query"
                       : instrument.region == MarketRegion::hk ? "HkMinute/query"
                       : instrument.region == MarketRegion::us ? "UsMinute/query"
                                                               : nullptr;
    if (!path)
        return completion(std::unexpected(MarketFetch::marketError(QStringLiteral("分钟线不支持"))));
    getValue(Endpoints::url(Endpoint::TencentChart, QStringLiteral("/appstock/app/") + QLatin1String(path) +
                                                        QStringLiteral("?code=") +
                                                        MarketFetch::urlCode(instrument.providerCode)),
             context, [=, completion = std::move(completion)](const QJsonValue& value) {
                 const auto rows = tencentMinuteRows(value, instrument.providerCode);
                 QList<MarketCandle> candles;
                 if (rows)
                     candles =
                         lineCandles(*rows, interval, timeZone(instrument.region), context.clock->now());
                 MarketSnapshot snapshot =
                     stockSnapshot(instrument, interval, std::move(candles), quote, "Tencent", context);
                 snapshot.lineOnly = true;
                 completion(std::move(snapshot));
             });
}

void StockProviders::fetchNaver(const MarketInstrument& instrument, MarketInterval interval,
                                const MarketFetchContext& context, MarketCompletion completion) {
    const bool index = instrument.providerCode == u"KOSPI" || instrument.providerCode == u"KOSDAQ";
    const QString code = MarketFetch::urlCode(instrument.providerCode);
    const double now = context.clock->now();
    const QString start =
        MarketFetch::formatted(now, seoul(), QStringLiteral("yyyyMMdd")) + QStringLiteral("090000");
    const QString end = MarketFetch::formatted(now, seoul(), QStringLiteral("yyyyMMddHHmmss"));
    const QUrl quoteUrl = Endpoints::url(
        Endpoint::NaverMobile, QStringLiteral("/api/") + QLatin1String(index ? "index/" : "stock/") + code +
                                   QStringLiteral("/basic"));
    const QUrl chartUrl =
        Endpoints::url(Endpoint::NaverChart,
                       QStringLiteral("/chart/domestic/") + QLatin1String(index ? "index/" : "item/") + code +
                           QStringLiteral("/minute?startTime=") + start + QStringLiteral("&endTime=") + end);

    const auto quoteValue = std::make_shared<QJsonValue>();
    const auto chartValue = std::make_shared<QJsonValue>();
    const auto done = MarketFetch::after(2, [=, completion = std::move(completion)] {
        const auto quote = parseNaverQuote(*quoteValue);
        if (!quote)
            return completion(
                std::unexpected(MarketFetch::marketError(QStringLiteral("Naver 报价解析失败"))));
        QList<MarketCandle> candles =
            MarketFetch::aggregate(parseNaverCandles(*chartValue, context.clock->now()), interval);
        completion(stockSnapshot(instrument, interval, std::move(candles), *quote, "Naver", context));
    });
    getValue(quoteUrl, context, [quoteValue, done](const QJsonValue& v) {
        *quoteValue = v;
        done();
    });
    getValue(chartUrl, context, [chartValue, done](const QJsonValue& v) {
        *chartValue = v;
        done();
    });
}

std::optional<TencentQuote> StockProviders::parseTencentQuote(const QString& text) {
    const qsizetype equals = text.indexOf(u'=');
    if (equals < 0)
        return std::nullopt;
    QString rest = text.mid(equals + 1);
    if (rest.startsWith(u'"'))
        rest.remove(0, 1);
    if (const qsizetype quote = rest.indexOf(u'"'); quote >= 0)
        rest.truncate(quote);
    const QStringList fields = rest.split(u'~');
    if (fields.size() < 5)
        return std::nullopt;
    const auto price = MarketFetch::number(fields[3]);
    const auto previous = MarketFetch::number(fields[4]);
    if (!price || *price <= 0 || !previous)
        return std::nullopt;
    return TencentQuote{*price, *previous};
}

QList<MarketCandle> StockProviders::parseTencentKlines(const QJsonValue& json, const QString& code,
                                                       const QString& key, const QTimeZone& zone,
                                                       double now) {
    const QJsonValue rows =
        json.toObject().value(QStringLiteral("data")).toObject().value(code).toObject().value(key);
    QList<MarketCandle> candles;
    for (const QJsonValue& rowValue : rows.toArray()) {
        const QJsonArray row = rowValue.toArray();
        if (row.size() < 5)
            continue;
        if (const auto candle =
                candleOf(MarketFetch::parseTime(row[0], zone, now), row[1], row[2], row[3], row[4]))
            candles.append(*candle);
    }
    MarketFetch::sortByTime(candles);
    return candles;
}

std::optional<StockProviders::MinuteRows> StockProviders::tencentMinuteRows(const QJsonValue& json,
                                                                            const QString& code) {
    QJsonValue level = json;
    for (const QString& key :
         {QStringLiteral("data"), code, QStringLiteral("data"), QStringLiteral("data")}) {
        if (!level.isObject())
            return std::nullopt;
        level = level.toObject().value(key);
    }
    if (!level.isArray())
        return std::nullopt;
    MinuteRows rows;
    for (const QJsonValue& line : level.toArray()) {
        if (!line.isString())
            return std::nullopt;
        const QStringList pieces = line.toString().split(u' ', Qt::SkipEmptyParts);
        if (pieces.size() < 2)
            continue;
        if (const auto price = MarketFetch::number(pieces[1]))
            rows.append({pieces[0], *price});
    }
    return rows;
}

QList<MarketCandle> StockProviders::lineCandles(const MinuteRows& rows, MarketInterval interval,
                                                const QTimeZone& zone, double now) {
    QList<MarketCandle> candles;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const double time = MarketFetch::parseTime(rows[i].first, zone, now).value_or(now + double(i));
        const double p = rows[i].second;
        const double q = i == 0 ? p : rows[i - 1].second;
        candles.append({time, std::min(p, q), std::max(p, q), q, p});
    }
    return MarketFetch::aggregate(std::move(candles), interval);
}

QList<MarketCandle> StockProviders::parseEastmoney(const QJsonValue& json, const QTimeZone& zone,
                                                   double now) {
    QList<MarketCandle> candles;
    const QJsonValue lines =
        json.toObject().value(QStringLiteral("data")).toObject().value(QStringLiteral("klines"));
    for (const QJsonValue& line : lines.toArray()) {
        const QStringList pieces = line.toString().split(u',', Qt::SkipEmptyParts);
        if (pieces.size() < 5)
            continue;
        if (const auto candle = candleOf(MarketFetch::parseTime(pieces[0], zone, now), pieces[1], pieces[2],
                                         pieces[3], pieces[4]))
            candles.append(*candle);
    }
    MarketFetch::sortByTime(candles);
    return candles;
}

std::optional<TencentQuote> StockProviders::parseNaverQuote(const QJsonValue& json) {
    const QJsonObject object = json.toObject();
    const auto price = MarketFetch::number(object.value(QStringLiteral("closePrice")));
    if (!json.isObject() || !price || *price <= 0)
        return std::nullopt;
    const double change =
        MarketFetch::number(object.value(QStringLiteral("compareToPreviousClosePrice"))).value_or(0);
    return TencentQuote{*price, *price - change};
}

QList<MarketCandle> StockProviders::parseNaverCandles(const QJsonValue& json, double now) {
    QList<MarketCandle> candles;
    for (const QJsonValue& element : json.toArray()) {
        if (!element.isObject())
            continue;
        const QJsonObject o = element.toObject();
        if (const auto candle =
                candleOf(MarketFetch::parseTime(o.value(QStringLiteral("localDateTime")), seoul(), now),
                         o.value(QStringLiteral("openPrice")), o.value(QStringLiteral("currentPrice")),
                         o.value(QStringLiteral("highPrice")), o.value(QStringLiteral("lowPrice"))))
            candles.append(*candle);
    }
    MarketFetch::sortByTime(candles);
    return candles;
}

} // namespace glimmet
