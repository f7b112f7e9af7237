#pragma once

#include <QString>

namespace glimmet {

// The frame previews of the command line: run a market monitor for a few seconds on the main
// thread's event loop, then write its frame to a file and return the exit status.
struct MarketPreview {
    // "--preview-btc OUT": the stored (or default) instrument after 10 s. 0, or 1 on failure.
    static int previewBtc(const QString& out);
    // "--preview-market SYMBOL OUT": the instrument SYMBOL after 8 s. 0, 1 on failure, 2 for a
    // symbol that names no instrument (before any request).
    static int previewMarket(const QString& symbol, const QString& out);
};

} // namespace glimmet
