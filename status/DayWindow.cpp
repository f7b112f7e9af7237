#include "status/DayWindow.h"

#include <QDateTime>

#include <cmath>

namespace glimmet {

DayWindow todayWindow(double now, const QTimeZone& zone) {
    const auto millis = qint64(std::floor(now * 1000.0));
    const QDate today = QDateTime::fromMSecsSinceEpoch(millis, zone).date();
    const QDateTime start = today.startOfDay(zone);
    const QDateTime end = today.addDays(1).startOfDay(zone);
    return {double(start.toSecsSinceEpoch() + 60), double(end.toSecsSinceEpoch())};
}

} // namespace glimmet
