#include "market/MarketRefreshInterval.h"

#include <utility>

namespace glimmet {

int seconds(MarketRefreshInterval interval) {
    switch (interval) {
    case MarketRefreshInterval::tenSeconds:
        return 10;
    case MarketRefreshInterval::thirtySeconds:
        return 30;
    case MarketRefreshInterval::oneMinute:
        return 60;
    case MarketRefreshInterval::twoMinutes:
        return 120;
    }
    std::unreachable();
}

QString rawValue(MarketRefreshInterval interval) {
    return QString::number(seconds(interval));
}

std::optional<MarketRefreshInterval> marketRefreshIntervalFromRaw(QStringView raw) {
    for (const MarketRefreshInterval interval : allMarketRefreshIntervals) {
        if (raw == rawValue(interval))
            return interval;
    }
    return std::nullopt;
}

} // namespace glimmet
