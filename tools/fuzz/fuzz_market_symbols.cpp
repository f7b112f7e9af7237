// What a user types as a market symbol, a stored instrument and the stored raw values of the
// region, interval and refresh period.
#include "market/MarketInstrument.h"
#include "market/MarketInterval.h"
#include "market/MarketRefreshInterval.h"
#include "market/MarketRegion.h"
#include "tools/fuzz/FuzzInput.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace glimmet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input = fuzz::bytes(data, size);
    const QString text = QString::fromUtf8(input);
    if (const auto parsed = MarketInstrument::parse(text)) {
        // A parsed instrument survives its own stored form.
        if (!MarketInstrument::fromJson(parsed->toJson()))
            std::abort();
    }
    (void)userCharacters(text);
    (void)MarketInstrument::fromJson(QJsonDocument::fromJson(input).object());
    (void)marketRegionFromRaw(text);
    (void)marketIntervalFromRaw(text);
    (void)marketRefreshIntervalFromRaw(text);
    return 0;
}
