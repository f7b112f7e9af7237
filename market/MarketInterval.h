#pragma once

#include <QString>
#include <QStringView>

#include <array>
#include <optional>

namespace glimmet {

// The length of one candle. Its raw value ("1m", "5m", "60m") is also the label the user sees
// in menus and on the frame.
enum class MarketInterval { oneMinute, fiveMinutes, oneHour };

inline constexpr std::array allMarketIntervals{MarketInterval::oneMinute, MarketInterval::fiveMinutes,
                                               MarketInterval::oneHour};

QString rawValue(MarketInterval interval);
std::optional<MarketInterval> marketIntervalFromRaw(QStringView raw);

// 60, 300 or 3600.
int bucketSeconds(MarketInterval interval);
// 1, 5 or 60.
int minuteCount(MarketInterval interval);

} // namespace glimmet
