#include "status/DayWindow.h"

#include <QDateTime>

#include <gtest/gtest.h>

using namespace glimmet;

namespace {

double at(const char* iso, const QTimeZone& zone) {
    const QDateTime local = QDateTime::fromString(iso, Qt::ISODate);
    return double(QDateTime(local.date(), local.time(), zone).toSecsSinceEpoch());
}

TEST(DayWindow, StartsAtOneMinutePastMidnightAndEndsAtTheNextMidnight) {
    const struct {
        const char* zone;
        const char* now;
        const char* start;
        const char* end;
    } cases[] = {
        {"Asia/Shanghai", "2026-07-14T18:00:00", "2026-07-14T00:01:00", "2026-07-15T00:00:00"},
        {"Asia/Shanghai", "2026-07-14T00:00:30", "2026-07-14T00:01:00", "2026-07-15T00:00:00"},
        {"Asia/Shanghai", "2026-07-14T23:59:59", "2026-07-14T00:01:00", "2026-07-15T00:00:00"},
        // A 23-hour day: clocks go forward at 02:00.
        {"Europe/Berlin", "2026-03-29T12:00:00", "2026-03-29T00:01:00", "2026-03-30T00:00:00"},
        // Midnight does not exist on this day in Santiago: the day starts at 01:00.
        {"America/Santiago", "2026-09-06T12:00:00", "2026-09-06T01:01:00", "2026-09-07T00:00:00"},
    };
    for (const auto& c : cases) {
        const QTimeZone zone(c.zone);
        const DayWindow window = todayWindow(at(c.now, zone), zone);
        EXPECT_EQ(window.todayStart, at(c.start, zone)) << c.zone << " " << c.now;
        EXPECT_EQ(window.todayEnd, at(c.end, zone)) << c.zone << " " << c.now;
    }
}

TEST(DayWindow, FirstMinuteBelongsToNoDay) {
    const QTimeZone zone("Asia/Shanghai");
    const DayWindow window = todayWindow(at("2026-07-14T12:00:00", zone), zone);
    for (const auto& [time, inside] : {std::pair{"2026-07-14T00:00:30", false},
                                       {"2026-07-14T00:01:00", true},
                                       {"2026-07-14T23:59:59", true},
                                       {"2026-07-15T00:00:00", false}})
        EXPECT_EQ(window.contains(at(time, zone)), inside) << time;
}

} // namespace
