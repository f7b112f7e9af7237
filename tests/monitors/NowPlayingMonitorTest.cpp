#include "monitors/NowPlayingMonitor.h"
#include "monitors/MonitorFakes.h"
#include "support/FakeClock.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <cmath>

using namespace glimmet;
using namespace glimmet::test;

namespace {

constexpr quint16 red = 0xF800, green = 0x07E0, blue = 0x001F;

quint16 pixel(const QByteArray& rgb565, int x, int y) {
    const qsizetype at = (qsizetype(y) * 128 + x) * 2; // in a 128 pixels wide bitmap
    return quint16(quint8(rgb565[at]) << 8 | quint8(rgb565[at + 1]));
}

// A PNG of red, green and blue bands along x (along y when `vertical`), split at `first` and `second`.
QByteArray threeBands(int w, int h, int first, int second, bool vertical = false) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QPainter painter(&image);
    painter.fillRect(vertical ? QRect(0, 0, w, second) : QRect(0, 0, second, h), Qt::green);
    painter.fillRect(vertical ? QRect(0, 0, w, first) : QRect(0, 0, first, h), Qt::red);
    painter.end();
    return png(image);
}

struct NowPlayingMonitorTest : testing::Test {
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<FakeNowPlayingSource> source = std::make_shared<FakeNowPlayingSource>();
    std::shared_ptr<NowPlayingMonitor> monitor = std::make_shared<NowPlayingMonitor>(source, clock);
};

TEST_F(NowPlayingMonitorTest, DocumentOfAProbeResult) {
    const struct {
        const char* what;
        NowPlayingInfo info;
        double later;
        bool playing;
        qint64 elapsed, duration;
        QByteArray progress;
    } cases[] = {
        {"playing", {"Song", "A", "", true, 50, 200}, 10, true, 60, 200, "0.3"},
        {"paused", {"Song", "A", "", false, 50, 200}, 10, false, 50, 200, "0.25"},
        {"no duration", {"Song", "A", "", true, 50, 0}, 10, true, 50, 0, "0"},
        {"stops at the end", {"Song", "A", "", true, 195, 200}, 60, true, 200, 200, "1"},
        {"rounded", {"Song", "A", "", true, 50, 200}, 0.5, true, 51, 200, "0.2525"},
        {"an empty title is not playing", {"", "A", "", true, 50, 200}, 10, false, 50, 200, "0.25"},
        {"beyond the duration", {"Song", "A", "", true, 150, 100}, 0, true, 100, 100, "1"},
        {"not finite", {"Song", "A", "", true, INFINITY, NAN}, 0, true, 0, 0, "0"},
    };
    for (const auto& c : cases) {
        monitor = std::make_shared<NowPlayingMonitor>(source, clock);
        monitor->apply(c.info);
        clock->advance(c.later);
        const QByteArray json = monitor->jsonData();
        const QJsonObject doc = QJsonDocument::fromJson(json).object();
        EXPECT_EQ(doc.keys(), QStringList({"album", "artist", "artwork_rev", "duration", "elapsed",
                                           "has_artwork", "playing", "progress", "text_rev", "title"}));
        EXPECT_EQ(
            std::tuple(doc["playing"].toBool(), doc["elapsed"].toInteger(), doc["duration"].toInteger()),
            std::tuple(c.playing, c.elapsed, c.duration))
            << c.what;
        EXPECT_TRUE(json.contains("\"progress\":" + c.progress + ",")) << c.what << ": " << json.constData();
    }
}

TEST_F(NowPlayingMonitorTest, TransientEmptyResultsAreDamped) {
    const NowPlayingInfo known{"Song", "Artist", "Album", true, 0, 200}, noArtist{"Song", "", "Album", true},
        empty, title{"Other"}, artist{"", "Someone"};
    // Every result but the last keeps the first title; the last one shows `lastTitle`.
    const struct {
        const char* what;
        NowPlayingInfo first;
        std::vector<NowPlayingInfo> then;
        QString lastTitle;
    } cases[] = {
        {"two empty results are kept, the third clears", known, {empty, empty, empty}, ""},
        {"a complete result resets the count", known, {empty, empty, known, empty, empty, empty}, ""},
        {"a title alone, ignored four times", known, {title, title, title, title, title}, "Other"},
        {"an artist alone is thin too", known, {artist, artist, artist, artist, artist}, ""},
        {"thin results count towards clearing", known, {title, title, empty}, ""},
        {"a track without an artist yields at once", noArtist, {title}, "Other"},
        {"nothing known: a thin result applies at once", empty, {title}, "Other"},
    };
    for (const auto& c : cases) {
        monitor = std::make_shared<NowPlayingMonitor>(source, clock);
        monitor->apply(c.first);
        for (std::size_t i = 0; i < c.then.size(); ++i) {
            monitor->apply(c.then[i]);
            const QString expected = i + 1 < c.then.size() ? c.first.title : c.lastTitle;
            EXPECT_EQ(monitor->snapshot().title, expected) << c.what << ", step " << i;
        }
    }
}

TEST_F(NowPlayingMonitorTest, CoverAndTextRevisions) {
    const QByteArray bands = threeBands(30, 30, 10, 20), plain = threeBands(16, 16, 0, 0), broken = "GIF89a";
    const struct {
        const char* what;
        NowPlayingInfo info;
        qint64 artworkRev, textRev;
        quint16 centre; // 0: no cover
    } steps[] = {
        {"nothing yet: the empty strip", {}, 0, 1, 0},
        {"first artwork", {"Song", "Artist", "", true, 0, 200, bands}, 1, 2, green},
        {"the same artwork, another album", {"Song", "Artist", "Album", true, 0, 200, bands}, 1, 2, green},
        {"undecodable artwork keeps the cover", {"Song", "Artist", "", true, 0, 200, broken}, 1, 2, green},
        {"other artwork and artist", {"Song", "Band", "", true, 0, 200, plain}, 2, 3, blue},
        {"an ignored empty result changes nothing", {}, 2, 3, blue},
        {"artwork gone", {"Song", "Band", "", true, 0, 200}, 3, 3, 0},
        {"still gone, another title", {"Tune", "Band", "", true, 0, 200}, 3, 4, 0},
        {"back again", {"Tune", "Band", "", true, 0, 200, bands}, 4, 4, green},
    };
    for (const auto& step : steps) {
        monitor->apply(step.info);
        const QJsonObject doc = QJsonDocument::fromJson(monitor->jsonData()).object();
        EXPECT_EQ(doc["artwork_rev"].toInteger(), step.artworkRev) << step.what;
        EXPECT_EQ(doc["text_rev"].toInteger(), step.textRev) << step.what;
        EXPECT_EQ(doc["has_artwork"].toBool(), step.centre != 0) << step.what;
        const QByteArray cover = monitor->coverRGB565();
        ASSERT_EQ(cover.size(), step.centre ? 128 * 128 * 2 : 0) << step.what;
        EXPECT_EQ(cover.isEmpty() ? 0 : pixel(cover, 64, 64), step.centre) << step.what;
    }
}

TEST_F(NowPlayingMonitorTest, PollsOneProbeAtATime) {
    source->next = NowPlayingInfo{"Song", "Artist", "Album", true, 0, 200};
    {
        std::lock_guard hold(source->gate);
        monitor->poll();
        ASSERT_TRUE(waitUntil([&] { return source->probes == 1; }));
        monitor->poll(); // skipped: the first probe is still running
    }
    ASSERT_TRUE(waitUntil([&] { return monitor->snapshot().title == "Song"; }));
    EXPECT_EQ(source->probes, 1);
    source->next = std::nullopt; // probes that cannot answer leave the track as it was
    ASSERT_TRUE(waitUntil([&] {
        monitor->poll();
        return source->probes >= 3;
    }));
    EXPECT_EQ(monitor->snapshot().title, "Song");
}

TEST_F(NowPlayingMonitorTest, PollsFromTheFirstRead) {
    source->next = NowPlayingInfo{"Song", "Artist", "Album", true, 0, 200};
    monitor->start();
    EXPECT_FALSE(monitor->polling()) << "nothing read yet";
    EXPECT_EQ(monitor->snapshot().title, "") << "the first read is answered from what the monitor held";
    ASSERT_TRUE(waitUntil([&] { return monitor->snapshot().title == "Song"; })) << "and polls at once";
    EXPECT_TRUE(monitor->polling());
    monitor->jsonData();
    QCoreApplication::processEvents();
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_EQ(source->probes, 1) << "later reads find it polling";
}

TEST(NowPlayingCover, AspectFillsAndCropsTheCentre) {
    // 200 x 100 shows its middle 100 columns: red 50-60, green 60-140, blue 140-150 of the
    // source, scaled by 1.28. A stretched or left-aligned picture would differ at 20 and 108.
    const QByteArray wide = NowPlayingMonitor::makeCoverRGB565(threeBands(200, 100, 60, 140));
    const QByteArray tall = NowPlayingMonitor::makeCoverRGB565(threeBands(100, 200, 60, 140, true));
    ASSERT_EQ(wide.size(), 128 * 128 * 2);
    ASSERT_EQ(tall.size(), 128 * 128 * 2);
    for (const auto& [along, colour] :
         {std::pair{0, red}, {4, red}, {20, green}, {64, green}, {108, green}, {123, blue}, {127, blue}}) {
        for (int across : {0, 64, 127}) {
            EXPECT_EQ(pixel(wide, along, across), colour) << "wide x " << along << " y " << across;
            EXPECT_EQ(pixel(tall, across, along), colour) << "tall y " << along << " x " << across;
        }
    }
    QImage transparent(3, 2, QImage::Format_ARGB32);
    transparent.fill(Qt::transparent);
    EXPECT_EQ(NowPlayingMonitor::makeCoverRGB565(png(transparent)), QByteArray(128 * 128 * 2, '\0'));
}

// The box around the ink in `area` of the strip, and its brightest grey level.
std::pair<QRect, int> ink(const QImage& strip, const QRect& area) {
    QRect box;
    int brightest = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (const int level = qGray(strip.pixel(x, y)); level > 0) {
                box |= QRect(x, y, 1, 1);
                brightest = std::max(brightest, level);
            }
        }
    }
    return {box, brightest};
}

TEST(NowPlayingTextStrip, CentredLinesCutWithAnEllipsis) {
    const struct {
        const char* what;
        QString title, artist;
        int titleLevel, artistLevel;
    } cases[] = {
        {"title and artist", "Song", "Artist", 255, 184},
        {"no title: No Music in grey", "", "Artist", 128, 184},
        {"an empty artist leaves the lower line black", "Song", "", 255, 0},
        {"Chinese", "夜曲", "周杰伦", 255, 184},
        {"too long", QString(80, u'W'), QString(80, u'M'), 255, 184},
    };
    for (const auto& c : cases) {
        const QImage strip = NowPlayingMonitor::renderTextStrip(c.title, c.artist);
        ASSERT_EQ(strip.size(), QSize(232, 44));
        for (const auto& [area, level] :
             {std::pair{QRect(0, 0, 232, 26), c.titleLevel}, {QRect(0, 26, 232, 18), c.artistLevel}}) {
            const auto [box, brightest] = ink(strip, area);
            EXPECT_EQ(brightest, level) << c.what;
            EXPECT_LE(level ? std::abs(box.left() - (231 - box.right())) : 0, 2) << c.what << ": centred";
            if (c.title.size() < 80)
                continue;
            // A long line fills the width and ends in a row of dots, much lower than a W or M.
            EXPECT_TRUE(box.left() >= 2 && box.right() <= 229 && box.width() > 200) << area.top();
            EXPECT_LE(ink(strip, QRect(box.right() - 4, area.top(), 5, area.height())).first.height(), 3);
            EXPECT_GE(ink(strip, QRect(box.left(), area.top(), 5, area.height())).first.height(), 8);
        }
    }
}

} // namespace
