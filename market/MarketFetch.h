#pragma once

#include "common/Clock.h"
#include "common/Error.h"
#include "market/MarketSnapshot.h"

#include <QJsonValue>
#include <QList>
#include <QPointer>
#include <QString>
#include <QTimeZone>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace glimmet {

using MarketResult = Result<MarketSnapshot>;
using MarketCompletion = std::function<void(MarketResult)>;

// Where a fetch's continuations and completion run (the market monitor's queue context) and
// the time source for its snapshot. A fetch whose context is gone delivers nothing.
struct MarketFetchContext {
    QPointer<QObject> queue;
    std::shared_ptr<const Clock> clock = Clock::system();
};

// The HTTP, value and time helpers shared by every market data provider, and the provider
// dispatch by region. Stateless; completions run on the fetch context's thread.
struct MarketFetch {
    static constexpr int maxCandles = 36;
    static constexpr double requestTimeout = 8; // seconds for a whole request
    static constexpr qint64 maxBodyBytes = 4 * 1024 * 1024;

    // One snapshot for (instrument, interval) from the region's provider chain.
    static void fetchMarket(const MarketInstrument& instrument, MarketInterval interval,
                            const MarketFetchContext& context, MarketCompletion completion);

    // One GET with the bridge's User-Agent: the parsed top-level object or array, or an error.
    static void getJSON(const QUrl& url, const MarketFetchContext& context,
                        std::function<void(Result<QJsonValue>)> completion);
    // One GET: the body decoded as UTF-8 with replacement characters, or an error.
    static void getText(const QUrl& url, const MarketFetchContext& context,
                        std::function<void(Result<QString>)> completion);

    // A JSON number, or a string that is wholly a number once its "," are removed.
    static std::optional<double> number(const QJsonValue& value);
    // Epoch seconds from a number (seconds, milliseconds or a packed yyyyMMddHHmm[ss]) or a
    // date-time text in one of the services' patterns, read in `zone`.
    static std::optional<double> parseTime(const QJsonValue& value, const QTimeZone& zone, double now);
    // `date` (epoch seconds) written with `format` in `zone`, in the C locale.
    static QString formatted(double date, const QTimeZone& zone, const QString& format);
    // Merges candles into buckets of the interval (the earliest member's time) and keeps the
    // newest 36.
    static QList<MarketCandle> aggregate(QList<MarketCandle> candles, MarketInterval interval);

    // The "Market" error with a user-facing description.
    static Error marketError(const QString& message);

    // Stable ascending sort by time.
    static void sortByTime(QList<MarketCandle>& candles);
    // Drops the oldest candles beyond 36.
    static QList<MarketCandle> keepLast(QList<MarketCandle> candles);
    // (price / reference - 1) * 100, or 0 without a positive reference.
    static double percentChange(double price, double reference);
    // A successful snapshot with the fields every provider sets alike.
    static MarketSnapshot snapshot(const MarketInstrument& instrument, MarketInterval interval,
                                   QList<MarketCandle> candles, double price, double reference,
                                   const QString& source, double now);
    // A callback to call once per finished request: the `count`-th call runs `done`. Every
    // call happens on the fetch context's thread, so no lock is needed.
    static std::function<void()> after(int count, std::function<void()> done);
    // `code` percent-encoded for a URL path or query value.
    static QString urlCode(const QString& code);
};

} // namespace glimmet
