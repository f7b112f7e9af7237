#pragma once

#include <QString>
#include <QStringView>

#include <array>
#include <optional>

namespace glimmet {

// How often the market monitor refreshes. Its raw value is the period in seconds as text
// ("10", "30", "60", "120"), the form kept in the settings store.
enum class MarketRefreshInterval { tenSeconds, thirtySeconds, oneMinute, twoMinutes };

inline constexpr std::array allMarketRefreshIntervals{
    MarketRefreshInterval::tenSeconds, MarketRefreshInterval::thirtySeconds, MarketRefreshInterval::oneMinute,
    MarketRefreshInterval::twoMinutes};

QString rawValue(MarketRefreshInterval interval);
std::optional<MarketRefreshInterval> marketRefreshIntervalFromRaw(QStringView raw);

// The period in seconds: the raw value read as a number.
int seconds(MarketRefreshInterval interval);

} // namespace glimmet
