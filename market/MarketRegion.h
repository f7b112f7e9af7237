#pragma once

#include <QString>
#include <QStringView>
#include <QTimeZone>

#include <array>
#include <optional>

namespace glimmet {

// The market an instrument trades on; selects its data provider, its time zone and its
// trading hours. Stored and sent as its raw value ("crypto", "cn", "hk", "us", "kr").
enum class MarketRegion { crypto, cn, hk, us, kr };

inline constexpr std::array allMarketRegions{MarketRegion::crypto, MarketRegion::cn, MarketRegion::hk,
                                             MarketRegion::us, MarketRegion::kr};

QString rawValue(MarketRegion region);
std::optional<MarketRegion> marketRegionFromRaw(QStringView raw);

// UTC for crypto, "Asia/Shanghai" for cn and hk, "America/New_York" for us, "Asia/Seoul"
// for kr.
QTimeZone timeZone(MarketRegion region);

// Whether the region's market is inside its trading hours at `now` (epoch seconds): crypto
// always; the others Monday to Friday local time, both ends of each session inclusive.
bool marketOpen(MarketRegion region, double now);

} // namespace glimmet
