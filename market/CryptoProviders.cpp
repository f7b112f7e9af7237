#include "market/CryptoProviders.h"

#include "common/Endpoints.h"

#include <QJsonArray>
#include <QJsonObject>

namespace glimmet {

namespace {

using Value = std::shared_ptr<std::optional<QJsonValue>>;

// Issues both GETs together; `parse` runs with both outcomes (absent for a failed request).
void getBoth(const QUrl& first, const QUrl& second, const MarketFetchContext& context,
             std::function<void(const std::optional<QJsonValue>&, const std::optional<QJsonValue>&)> parse) {
    const Value a = std::make_shared<std::optional<QJsonValue>>();
    const Value b = std::make_shared<std::optional<QJsonValue>>();
    const auto done = MarketFetch::after(2, [a, b, parse = std::move(parse)] { parse(*a, *b); });
    const auto keep = [done](const Value& into) {
        return [into, done](Result<QJsonValue> result) {
            if (result)
                *into = std::move(*result);
            done();
        };
    };
    MarketFetch::getJSON(first, context, keep(a));
    MarketFetch::getJSON(second, context, keep(b));
}

// The elements of `value` when it is an array whose elements all have the given type.
std::optional<QJsonArray> arrayOf(const std::optional<QJsonValue>& value, QJsonValue::Type type) {
    if (!value || !value->isArray())
        return std::nullopt;
    const QJsonArray array = value->toArray();
    for (const QJsonValue& element : array) {
        if (element.type() != type)
            return std::nullopt;
    }
    return array;
}

// The stats' or ticker's price, the newest close, or 0; and its reference price.
std::pair<double, double> priceAndReference(const QJsonObject& stats, const QList<MarketCandle>& candles) {
    const double price = MarketFetch::number(stats.value(QStringLiteral("last")))
                             .value_or(candles.isEmpty() ? 0 : candles.back().close);
    return {price, MarketFetch::number(stats.value(QStringLiteral("open"))).value_or(price)};
}

} // namespace

void CryptoProviders::fetchCoinbase(const MarketInstrument& instrument, MarketInterval interval,
                                    const MarketFetchContext& context, MarketCompletion completion) {
    const QString product = QStringLiteral("/products/") + MarketFetch::urlCode(instrument.providerCode);
    getBoth(Endpoints::url(Endpoint::Coinbase, product + QStringLiteral("/candles?granularity=") +
                                                   QString::number(bucketSeconds(interval))),
            Endpoints::url(Endpoint::Coinbase, product + QStringLiteral("/stats")), context,
            [instrument, interval, clock = context.clock, completion = std::move(completion)](
                const std::optional<QJsonValue>& rowsValue, const std::optional<QJsonValue>& stats) {
                const auto rows = arrayOf(rowsValue, QJsonValue::Array);
                if (!rows || !stats || !stats->isObject())
                    return completion(
                        std::unexpected(MarketFetch::marketError(QStringLiteral("Coinbase 解析失败"))));
                QList<MarketCandle> candles;
                for (const QJsonValue& rowValue : *rows) {
                    const QJsonArray row = rowValue.toArray();
                    if (row.size() < 5)
                        continue;
                    const auto at = [&row](int i) { return MarketFetch::number(row[i]).value_or(0); };
                    candles.append({at(0), at(1), at(2), at(3), at(4)});
                }
                MarketFetch::sortByTime(candles);
                const auto [price, reference] = priceAndReference(stats->toObject(), candles);
                completion(MarketFetch::snapshot(instrument, interval, std::move(candles), price, reference,
                                                 QStringLiteral("Coinbase"), clock->now()));
            });
}

void CryptoProviders::fetchBitstamp(const MarketInstrument& instrument, MarketInterval interval,
                                    const MarketFetchContext& context, MarketCompletion completion) {
    const QString pair = MarketFetch::urlCode(instrument.providerCode.toLower().remove(u'-'));
    getBoth(Endpoints::url(Endpoint::Bitstamp,
                           QStringLiteral("/api/v2/ohlc/") + pair + QStringLiteral("/?step=") +
                               QString::number(bucketSeconds(interval)) + QStringLiteral("&limit=36")),
            Endpoints::url(Endpoint::Bitstamp, QStringLiteral("/api/v2/ticker/") + pair + u'/'), context,
            [instrument, interval, clock = context.clock, completion = std::move(completion)](
                const std::optional<QJsonValue>& ohlc, const std::optional<QJsonValue>& ticker) {
                const auto entries = ohlc && ohlc->isObject() ? arrayOf(ohlc->toObject()
                                                                            .value(QStringLiteral("data"))
                                                                            .toObject()
                                                                            .value(QStringLiteral("ohlc")),
                                                                        QJsonValue::Object)
                                                              : std::nullopt;
                const bool dataIsObject = ohlc && ohlc->toObject().value(QStringLiteral("data")).isObject();
                if (!entries || !dataIsObject || !ticker || !ticker->isObject())
                    return completion(
                        std::unexpected(MarketFetch::marketError(QStringLiteral("Bitstamp 解析失败"))));
                QList<MarketCandle> candles;
                for (const QJsonValue& entryValue : *entries) {
                    const QJsonObject entry = entryValue.toObject();
                    const auto time = MarketFetch::number(entry.value(QStringLiteral("timestamp")));
                    if (!time)
                        continue;
                    const auto field = [&entry](const char* key) {
                        return MarketFetch::number(entry.value(QLatin1String(key))).value_or(0);
                    };
                    candles.append({*time, field("low"), field("high"), field("open"), field("close")});
                }
                MarketFetch::sortByTime(candles);
                const auto [price, reference] = priceAndReference(ticker->toObject(), candles);
                completion(MarketFetch::snapshot(instrument, interval, std::move(candles), price, reference,
                                                 QStringLiteral("Bitstamp"), clock->now()));
            });
}

} // namespace glimmet
