#pragma once

#include "market/MarketFetch.h"

namespace glimmet {

// The crypto data providers: Coinbase Exchange candles and stats, and Bitstamp OHLC and
// ticker as the fallback. Stateless; completions run on the fetch context's thread.
struct CryptoProviders {
    static void fetchCoinbase(const MarketInstrument& instrument, MarketInterval interval,
                              const MarketFetchContext& context, MarketCompletion completion);
    static void fetchBitstamp(const MarketInstrument& instrument, MarketInterval interval,
                              const MarketFetchContext& context, MarketCompletion completion);
};

} // namespace glimmet
