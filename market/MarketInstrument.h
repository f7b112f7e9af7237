#pragma once

#include "market/MarketRegion.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

namespace glimmet {

// One tradable instrument: a plain value record. The built-in catalogue and the parser of
// what a user types live here as static operations; all of them are pure and thread-safe.
struct MarketInstrument {
    QString id; // region prefix + "-" + code: "cn-sh600519", "us-AAPL", "btc-usd"
    MarketRegion region = MarketRegion::crypto;
    QString providerCode; // the code the data provider knows: "sh600519", "usAAPL", "005930"
    QString symbol;       // short ticker on the frame: "600519", "BTC/USD"
    QString name;         // display name; the symbol for parsed instruments
    QString currency;     // "USD", "CNY", "HKD" or "KRW"
    bool isIndex = false;

    bool operator==(const MarketInstrument&) const = default;

    // The record with the field names as keys and the region as its raw value.
    QJsonObject toJson() const;
    // Absent when a key is missing, a value has the wrong type or the region is unknown.
    static std::optional<MarketInstrument> fromJson(const QJsonObject& object);

    // The built-in catalogue of 19 instruments, in menu order.
    static const QList<MarketInstrument>& presets();
    // The favourites of a user who never chose any (12 presets).
    static const QList<MarketInstrument>& defaultFavorites();
    // The ids of an older default favourites list; a stored list equal to it was never
    // customised.
    static const QStringList& legacyDefaultFavorites();
    // Upper-case search words and the preset id each stands for, in table order.
    static const QList<std::pair<QString, QString>>& aliases();

    // The preset with exactly this id.
    static std::optional<MarketInstrument> preset(const QString& id);

    // Reads what a user typed ("600519", "hk00700", "AAPL", "kr005930", "BTC", "恒生指数") or a
    // stored id; absent when it names no instrument. Every id it produces parses back to an
    // equal instrument.
    static std::optional<MarketInstrument> parse(const QString& text);
};

// The characters of `text` as a user sees them (grapheme clusters).
QStringList userCharacters(const QString& text);

} // namespace glimmet
