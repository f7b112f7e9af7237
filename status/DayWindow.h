#pragma once

#include <QTimeZone>

namespace glimmet {

// Today's counting window in the user's calendar: from 00:01 local time (usage logged in the
// first minute after midnight belongs to no day) to the next local midnight.
struct DayWindow {
    double todayStart; // epoch seconds
    double todayEnd;   // epoch seconds

    bool contains(double t) const { return todayStart <= t && t < todayEnd; }
    bool operator==(const DayWindow&) const = default;
};

DayWindow todayWindow(double now, const QTimeZone& zone);

} // namespace glimmet
