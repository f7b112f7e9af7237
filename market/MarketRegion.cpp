#include "market/MarketRegion.h"

#include <QDateTime>

#include <cmath>
#include <span>
#include <utility>

namespace glimmet {

namespace {

struct Session {
    int from; // minutes after local midnight, inclusive
    int to;   // inclusive
};

std::span<const Session> sessions(MarketRegion region) {
    static constexpr Session cn[] = {{9 * 60 + 30, 11 * 60 + 30}, {13 * 60, 15 * 60}};
    static constexpr Session hk[] = {{9 * 60 + 30, 12 * 60}, {13 * 60, 16 * 60}};
    static constexpr Session us[] = {{9 * 60 + 30, 16 * 60}};
    static constexpr Session kr[] = {{9 * 60, 15 * 60 + 30}};
    switch (region) {
    case MarketRegion::crypto:
        return {};
    case MarketRegion::cn:
        return cn;
    case MarketRegion::hk:
        return hk;
    case MarketRegion::us:
        return us;
    case MarketRegion::kr:
        return kr;
    }
    std::unreachable();
}

} // namespace

QString rawValue(MarketRegion region) {
    switch (region) {
    case MarketRegion::crypto:
        return QStringLiteral("crypto");
    case MarketRegion::cn:
        return QStringLiteral("cn");
    case MarketRegion::hk:
        return QStringLiteral("hk");
    case MarketRegion::us:
        return QStringLiteral("us");
    case MarketRegion::kr:
        return QStringLiteral("kr");
    }
    std::unreachable();
}

std::optional<MarketRegion> marketRegionFromRaw(QStringView raw) {
    for (const MarketRegion region : allMarketRegions) {
        if (raw == rawValue(region))
            return region;
    }
    return std::nullopt;
}

QTimeZone timeZone(MarketRegion region) {
    switch (region) {
    case MarketRegion::crypto:
        return QTimeZone::utc();
    case MarketRegion::cn:
    case MarketRegion::hk:
        return QTimeZone("Asia/Shanghai");
    case MarketRegion::us:
        return QTimeZone("America/New_York");
    case MarketRegion::kr:
        return QTimeZone("Asia/Seoul");
    }
    std::unreachable();
}

bool marketOpen(MarketRegion region, double now) {
    if (region == MarketRegion::crypto)
        return true;
    // Far outside the calendar's range there is no local time to judge by.
    if (!std::isfinite(now) || std::abs(now) > 1e13)
        return false;
    const QTimeZone zone = timeZone(region);
    if (!zone.isValid())
        return false;
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(qint64(std::floor(now * 1000.0)), zone);
    if (!local.isValid() || local.date().dayOfWeek() >= Qt::Saturday)
        return false;
    const int minute = local.time().hour() * 60 + local.time().minute();
    for (const Session& session : sessions(region)) {
        if (session.from <= minute && minute <= session.to)
            return true;
    }
    return false;
}

} // namespace glimmet
