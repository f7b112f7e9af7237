#include "market/MarketFetch.h"

#include "common/HttpClient.h"
#include "common/Json.h"
#include "market/CryptoProviders.h"
#include "market/StockProviders.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

namespace glimmet {

namespace {

// Times beyond this have no meaning as epoch seconds and cannot be written as 64-bit integers.
constexpr double timeLimit = 9.2e18;

void get(const QUrl& url, const MarketFetchContext& context, std::function<void(HttpResponse)> done) {
    if (!context.queue)
        return;
    HttpRequest request;
    request.url = url;
    request.headers = {{"User-Agent", "GlimmetBridge/1.0"}};
    request.deadline = MarketFetch::requestTimeout;
    request.maxBodyBytes = MarketFetch::maxBodyBytes;
    HttpClient::shared().send(std::move(request), context.queue.data(), std::move(done));
}

// The date part and the rest of each accepted date-time pattern, tried in order.
struct Pattern {
    const char* date;
    const char* time; // empty for a date alone
};
constexpr Pattern patterns[] = {
    {"yyyyMMdd", "HHmmss"},   {"yyyyMMdd", "HHmm"}, {"yyyy-MM-dd", " HH:mm:ss"},
    {"yyyy-MM-dd", " HH:mm"}, {"yyyy-MM-dd", ""},   {"yyyy/MM/dd", " HH:mm:ss"},
};

std::optional<double> instant(const QDate& date, const QTime& time, const QTimeZone& zone) {
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    const QDateTime moment(date, time, zone);
    return moment.isValid() ? std::optional(moment.toMSecsSinceEpoch() / 1000.0) : std::nullopt;
}

std::optional<double> parseTimeText(const QString& text, const QTimeZone& zone, double now) {
    for (const Pattern& pattern : patterns) {
        const qsizetype dateLength = qsizetype(std::strlen(pattern.date));
        const QDate date = QDate::fromString(text.left(dateLength), QLatin1String(pattern.date));
        const QString rest = text.mid(dateLength);
        const QTime time = *pattern.time ? QTime::fromString(rest, QLatin1String(pattern.time))
                                         : (rest.isEmpty() ? QTime(0, 0) : QTime());
        if (const auto parsed = instant(date, time, zone))
            return parsed;
    }
    if (const QTime time = QTime::fromString(text, QStringLiteral("HHmm")); time.isValid()) {
        const QDate today = QDateTime::fromMSecsSinceEpoch(qint64(now * 1000), zone).date();
        if (const auto parsed = instant(today, time, zone))
            return parsed;
    }
    return glimmet::number(QJsonValue(text));
}

} // namespace

void MarketFetch::fetchMarket(const MarketInstrument& instrument, MarketInterval interval,
                              const MarketFetchContext& context, MarketCompletion completion) {
    switch (instrument.region) {
    case MarketRegion::crypto:
        return CryptoProviders::fetchCoinbase(
            instrument, interval, context,
            [instrument, interval, context, completion = std::move(completion)](MarketResult result) {
                if (result)
                    return completion(std::move(result));
                CryptoProviders::fetchBitstamp(instrument, interval, context, completion);
            });
    case MarketRegion::cn:
    case MarketRegion::hk:
    case MarketRegion::us:
        return StockProviders::fetchTencent(instrument, interval, context, std::move(completion));
    case MarketRegion::kr:
        return StockProviders::fetchNaver(instrument, interval, context, std::move(completion));
    }
}

void MarketFetch::getJSON(const QUrl& url, const MarketFetchContext& context,
                          std::function<void(Result<QJsonValue>)> completion) {
    get(url, context, [completion = std::move(completion)](HttpResponse response) {
        if (response.error)
            return completion(std::unexpected(*response.error));
        if (response.status != 200)
            return completion(std::unexpected(marketError(QStringLiteral("HTTP 请求失败"))));
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(response.body, &error);
        if (error.error != QJsonParseError::NoError || !(document.isObject() || document.isArray()))
            return completion(std::unexpected(Error{QStringLiteral("JSON"), int(error.error),
                                                    error.error != QJsonParseError::NoError
                                                        ? error.errorString()
                                                        : QStringLiteral("not an object or array")}));
        completion(document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array()));
    });
}

void MarketFetch::getText(const QUrl& url, const MarketFetchContext& context,
                          std::function<void(Result<QString>)> completion) {
    get(url, context, [completion = std::move(completion)](HttpResponse response) {
        if (response.error)
            return completion(std::unexpected(*response.error));
        if (response.status != 200)
            return completion(std::unexpected(marketError(QStringLiteral("行情请求失败"))));
        completion(QString::fromUtf8(response.body));
    });
}

std::optional<double> MarketFetch::number(const QJsonValue& value) {
    if (value.isString())
        return glimmet::number(QJsonValue(value.toString().remove(u',')));
    return glimmet::number(value);
}

std::optional<double> MarketFetch::parseTime(const QJsonValue& value, const QTimeZone& zone, double now) {
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (d > 1e11)
            return d < timeLimit ? parseTimeText(QString::number(qint64(d)), zone, now) : std::nullopt;
        return d > 1e10 ? d / 1000 : d;
    }
    if (value.isString())
        return parseTimeText(value.toString(), zone, now);
    return std::nullopt;
}

QString MarketFetch::formatted(double date, const QTimeZone& zone, const QString& format) {
    return QLocale::c().toString(QDateTime::fromMSecsSinceEpoch(qint64(date * 1000), zone), format);
}

QList<MarketCandle> MarketFetch::aggregate(QList<MarketCandle> candles, MarketInterval interval) {
    if (interval == MarketInterval::oneMinute)
        return keepLast(std::move(candles));
    const qint64 length = bucketSeconds(interval);
    std::map<qint64, QList<MarketCandle>> buckets;
    for (const MarketCandle& candle : candles) {
        if (std::abs(candle.time) < timeLimit) // a time beyond 64 bits drops its candle
            buckets[qint64(candle.time) / length].append(candle);
    }
    QList<MarketCandle> merged;
    for (auto& [index, members] : buckets) {
        sortByTime(members);
        MarketCandle candle = members.front();
        candle.close = members.back().close;
        for (const MarketCandle& member : members) {
            candle.low = std::min(candle.low, member.low);
            candle.high = std::max(candle.high, member.high);
        }
        merged.append(candle);
    }
    return keepLast(std::move(merged));
}

Error MarketFetch::marketError(const QString& message) {
    return Error{QStringLiteral("Market"), 1, message};
}

void MarketFetch::sortByTime(QList<MarketCandle>& candles) {
    std::stable_sort(candles.begin(), candles.end(),
                     [](const MarketCandle& a, const MarketCandle& b) { return a.time < b.time; });
}

QList<MarketCandle> MarketFetch::keepLast(QList<MarketCandle> candles) {
    if (candles.size() > maxCandles)
        candles.remove(0, candles.size() - maxCandles);
    return candles;
}

double MarketFetch::percentChange(double price, double reference) {
    return reference > 0 ? (price / reference - 1) * 100 : 0;
}

MarketSnapshot MarketFetch::snapshot(const MarketInstrument& instrument, MarketInterval interval,
                                     QList<MarketCandle> candles, double price, double reference,
                                     const QString& source, double now) {
    MarketSnapshot s;
    s.instrument = instrument;
    s.interval = interval;
    s.candles = keepLast(std::move(candles));
    s.price = price;
    s.change24h = percentChange(price, reference);
    s.source = source;
    s.updatedAt = now;
    s.stale = false;
    s.marketOpen = marketOpen(instrument.region, now);
    return s;
}

std::function<void()> MarketFetch::after(int count, std::function<void()> done) {
    return [left = std::make_shared<int>(count), done = std::move(done)] {
        if (--*left == 0)
            done();
    };
}

QString MarketFetch::urlCode(const QString& code) {
    return QString::fromLatin1(QUrl::toPercentEncoding(code));
}

} // namespace glimmet
