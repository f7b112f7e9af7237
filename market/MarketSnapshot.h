#pragma once

#include "market/MarketCandle.h"
#include "market/MarketInstrument.h"
#include "market/MarketInterval.h"

#include <QList>
#include <QString>

#include <optional>

namespace glimmet {

// What the market monitor holds and renders for one instrument and interval: a plain value.
struct MarketSnapshot {
    MarketInstrument instrument;
    MarketInterval interval = MarketInterval::fiveMinutes;
    QList<MarketCandle> candles;     // at most 36, oldest first
    double price = 0;                // last price; 0 before the first fetch
    double change24h = 0;            // percent against the reference price
    QString source;                  // provider tag ("Coinbase", "Tencent-DAY", ...) or empty
    std::optional<double> updatedAt; // epoch seconds of the fetch
    bool stale = false;
    bool marketOpen = false;
    bool lineOnly = false; // the candles carry only a price line

    bool operator==(const MarketSnapshot&) const = default;

    // The snapshot shown before any data arrived: no candles, no price, stale.
    static MarketSnapshot waiting(MarketInstrument instrument, MarketInterval interval) {
        MarketSnapshot snapshot;
        snapshot.instrument = std::move(instrument);
        snapshot.interval = interval;
        snapshot.stale = true;
        return snapshot;
    }
};

} // namespace glimmet
