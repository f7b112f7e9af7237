// The two time rules of the session logs: their timestamps and today's counting window.
#include "status/DayWindow.h"
#include "status/LogTimestamp.h"

#include <QDateTime>

#include <gtest/gtest.h>

using namespace glimmet;

namespace {

TEST(LogTimestamp, Rfc3339WithAndWithoutFraction) {
    const struct {
        const char* text;
        std::optional<double> expected;
    } cases[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2026-12-06T08:30:00Z", 1796545800},
        {"2026-12-06T08:30:00.250Z", 1796545800.25},
        {"2026-12-06T16:30:00+08:00", 1796545800},
        {"2026-12-06T03:00:00-05:30", 1796545800},
        {"1969-12-31T23:59:59Z", -1},
        {"2023-02-29T12:00:00Z", std::nullopt}, // not a leap year
        {"2026-13-01T00:00:00Z", std::nullopt},
        {"2026-12-06T08:30:60Z", std::nullopt},
        {"2026-12-06T08:30:00", std::nullopt}, // no zone
        {"2026-12-06T08:30:00.Z", std::nullopt},
        {"2026-12-06T08:30:00Zjunk", std::nullopt},
        {"2026-12-06T08:30:00+0800", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) // every expected time is exact in a double
        EXPECT_EQ(parseLogTimestamp(c.text), c.expected) << c.text;
}

TEST(LogTimestamp, AgreesWithQtOverManyDates) {
    for (qint64 t = -86400LL * 365 * 3; t < 86400LL * 365 * 80; t += 86400 * 37 + 3607) {
        const QByteArray text = QDateTime::fromSecsSinceEpoch(t, Qt::UTC).toString(Qt::ISODate).toUtf8();
        EXPECT_EQ(parseLogTimestamp(text.toStdString()), double(t)) << text.constData();
    }
}

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

} // namespace
