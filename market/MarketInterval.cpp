#include "market/MarketInterval.h"

#include <utility>

namespace glimmet {

QString rawValue(MarketInterval interval) {
    switch (interval) {
    case MarketInterval::oneMinute:
        return QStringLiteral("1m");
    case MarketInterval::fiveMinutes:
        return QStringLiteral("5m");
    case MarketInterval::oneHour:
        return QStringLiteral("60m");
    }
    std::unreachable();
}

std::optional<MarketInterval> marketIntervalFromRaw(QStringView raw) {
    for (const MarketInterval interval : allMarketIntervals) {
        if (raw == rawValue(interval))
            return interval;
    }
    return std::nullopt;
}

int minuteCount(MarketInterval interval) {
    switch (interval) {
    case MarketInterval::oneMinute:
        return 1;
    case MarketInterval::fiveMinutes:
        return 5;
    case MarketInterval::oneHour:
        return 60;
    }
    std::unreachable();
}

int bucketSeconds(MarketInterval interval) {
    return minuteCount(interval) * 60;
}

} // namespace glimmet
