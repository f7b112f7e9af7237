#pragma once

#include "market/MarketFetch.h"

#include <QList>
#include <QString>

#include <optional>
#include <utility>

namespace glimmet {

// The quote every stock snapshot needs: the last price and the previous close.
struct TencentQuote {
    double price = 0;
    double previous = 0;

    bool operator==(const TencentQuote&) const = default;
};

// The stock and index providers: Tencent quotes with Tencent intraday, daily and minute
// charts (and Eastmoney history for A-shares) for cn, hk and us, Naver for kr. Each fetch
// chain runs its steps one after another; completions run on the fetch context's thread.
struct StockProviders {
    // (time text, price) pairs of a Tencent minute line.
    using MinuteRows = QList<std::pair<QString, double>>;

    static void fetchTencent(const MarketInstrument& instrument, MarketInterval interval,
                             const MarketFetchContext& context, MarketCompletion completion);
    static void fetchTencentDaily(const MarketInstrument& instrument, MarketInterval interval,
                                  TencentQuote quote, const MarketFetchContext& context,
                                  MarketCompletion completion);
    static void fetchEastmoney(const MarketInstrument& instrument, MarketInterval interval,
                               TencentQuote quote, const MarketFetchContext& context,
                               MarketCompletion completion);
    static void fetchTencentMinute(const MarketInstrument& instrument, MarketInterval interval,
                                   TencentQuote quote, const MarketFetchContext& context,
                                   MarketCompletion completion);
    static void fetchNaver(const MarketInstrument& instrument, MarketInterval interval,
                           const MarketFetchContext& context, MarketCompletion completion);

    static std::optional<TencentQuote> parseTencentQuote(const QString& text);
    static QList<MarketCandle> parseTencentKlines(const QJsonValue& json, const QString& code,
                                                  const QString& key, const QTimeZone& zone, double now);
    static std::optional<MinuteRows> tencentMinuteRows(const QJsonValue& json, const QString& code);
    static QList<MarketCandle> lineCandles(const MinuteRows& rows, MarketInterval interval,
                                           const QTimeZone& zone, double now);
    static QList<MarketCandle> parseEastmoney(const QJsonValue& json, const QTimeZone& zone, double now);
    static std::optional<TencentQuote> parseNaverQuote(const QJsonValue& json);
    static QList<MarketCandle> parseNaverCandles(const QJsonValue& json, double now);
};

} // namespace glimmet
