#include "monitors/NowPlayingMonitor.h"
#include "monitors/MonitorFakes.h"
#include "support/FakeClock.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

constexpr quint16 red = 0xF800;
constexpr quint16 green = 0x07E0;
constexpr quint16 blue = 0x001F;

quint16 pixel(const QByteArray& rgb565, int width, int x, int y) {
    const qsizetype at = (qsizetype(y) * width + x) * 2;
    return quint16((quint8(rgb565[at]) << 8) | quint8(rgb565[at + 1]));
}

// Three bands across the longer side: red, green, blue, split at `first` and `second`.
QImage threeBands(QSize size, int first, int second, Qt::Orientation orientation) {
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    const int length = orientation == Qt::Horizontal ? size.width() : size.height();
    const struct {
        int from, to;
        QColor colour;
    } bands[] = {{0, first, Qt::red}, {first, second, Qt::green}, {second, length, Qt::blue}};
    for (const auto& band : bands) {
        const QRect rect = orientation == Qt::Horizontal
                               ? QRect(band.from, 0, band.to - band.from, size.height())
                               : QRect(0, band.from, size.width(), band.to - band.from);
        painter.fillRect(rect, band.colour);
    }
    return image;
}

NowPlayingInfo track(QString title, QString artist = {}, QString album = {}, double duration = 0) {
    NowPlayingInfo info;
    info.title = std::move(title);
    info.artist = std::move(artist);
    info.album = std::move(album);
    info.duration = duration;
    info.playing = true;
    return info;
}

class NowPlayingMonitorTest : public testing::Test {
protected:
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<FakeNowPlayingSource> source = std::make_shared<FakeNowPlayingSource>();
    std::shared_ptr<NowPlayingMonitor> monitor = std::make_shared<NowPlayingMonitor>(source, clock);

    QJsonObject document() { return QJsonDocument::fromJson(monitor->jsonData()).object(); }
};

TEST_F(NowPlayingMonitorTest, AppliesAProbeResult) {
    const struct {
        const char* what;
        NowPlayingInfo info;
        QString title;
        bool playing;
        double elapsed;
        double duration;
    } cases[] = {
        {"a playing track", track("Song", "Artist", "Album", 200), "Song", true, 0, 200},
        {"playing with an empty title is not playing", track("", "Artist", "", 200), "", false, 0, 200},
        {"strings are trimmed", track("  Song \n", "Artist"), "Song", true, 0, 0},
        {"elapsed beyond the duration",
         [] {
             auto i = track("S", "A", "", 100);
             i.elapsed = 150;
             return i;
         }(),
         "S", true, 100, 100},
        {"negative elapsed",
         [] {
             auto i = track("S", "A", "", 100);
             i.elapsed = -5;
             return i;
         }(),
         "S", true, 0, 100},
        {"elapsed without a duration",
         [] {
             auto i = track("S", "A");
             i.elapsed = 42;
             return i;
         }(),
         "S", true, 42, 0},
        {"non-finite numbers",
         [] {
             auto i = track("S", "A", "", NAN);
             i.elapsed = INFINITY;
             return i;
         }(),
         "S", true, 0, 0},
    };
    for (const auto& c : cases) {
        monitor = std::make_shared<NowPlayingMonitor>(source, clock);
        monitor->apply(c.info);
        const auto snapshot = monitor->snapshot();
        EXPECT_EQ(snapshot.title, c.title) << c.what;
        EXPECT_EQ(snapshot.playing, c.playing) << c.what;
        EXPECT_EQ(snapshot.elapsed, c.elapsed) << c.what;
        EXPECT_EQ(snapshot.duration, c.duration) << c.what;
        EXPECT_EQ(snapshot.updatedAt, clock->now()) << c.what;
    }
}

TEST_F(NowPlayingMonitorTest, TransientEmptyResultsAreDamped) {
    const NowPlayingInfo known = track("Song", "Artist", "Album", 200);
    const NowPlayingInfo knownWithoutArtist = track("Song", "", "Album", 200);
    const NowPlayingInfo empty;
    const NowPlayingInfo titleOnly = track("Other");
    const NowPlayingInfo artistOnly = track("", "Someone");
    const struct {
        const char* what;
        NowPlayingInfo first;
        std::vector<NowPlayingInfo> then;
        std::vector<QString> titles; // after each of `then`
    } cases[] = {
        {"two empty results are kept, the third clears", known, {empty, empty, empty}, {"Song", "Song", ""}},
        {"a complete result resets the count",
         known,
         {empty, empty, known, empty, empty, empty},
         {"Song", "Song", "Song", "Song", "Song", ""}},
        {"a title alone is ignored four times while an artist is known",
         known,
         {titleOnly, titleOnly, titleOnly, titleOnly, titleOnly},
         {"Song", "Song", "Song", "Song", "Other"}},
        {"an artist alone is thin too",
         known,
         {artistOnly, artistOnly, artistOnly, artistOnly, artistOnly},
         {"Song", "Song", "Song", "Song", ""}},
        {"a thin result replaces a track without an artist at once",
         knownWithoutArtist,
         {titleOnly},
         {"Other"}},
        {"thin results count towards clearing", known, {titleOnly, titleOnly, empty}, {"Song", "Song", ""}},
        {"nothing known: a thin result applies at once", empty, {titleOnly}, {"Other"}},
    };
    for (const auto& c : cases) {
        monitor = std::make_shared<NowPlayingMonitor>(source, clock);
        monitor->apply(c.first);
        for (std::size_t i = 0; i < c.then.size(); ++i) {
            monitor->apply(c.then[i]);
            EXPECT_EQ(monitor->snapshot().title, c.titles[i]) << c.what << ", step " << i;
        }
    }
}

TEST_F(NowPlayingMonitorTest, ArtworkRevisions) {
    const QByteArray redArt = png(threeBands({30, 30}, 10, 20, Qt::Horizontal));
    QImage blueImage(16, 16, QImage::Format_RGB32);
    blueImage.fill(Qt::blue);
    const QByteArray blueArt = png(blueImage);
    const auto withArt = [](QByteArray art) {
        NowPlayingInfo info = track("Song", "Artist", "Album", 200);
        info.artwork = std::move(art);
        return info;
    };
    const struct {
        const char* what;
        NowPlayingInfo info;
        std::int64_t rev;
        bool hasCover;
        quint16 centre;
    } steps[] = {
        {"no artwork yet", withArt({}), 0, false, 0},
        {"first artwork", withArt(redArt), 1, true, green},
        {"the same artwork again", withArt(redArt), 1, true, green},
        {"undecodable artwork keeps the cover", withArt("not an image"), 1, true, green},
        {"other artwork", withArt(blueArt), 2, true, blue},
        {"an ignored empty result keeps the cover", NowPlayingInfo{}, 2, true, blue},
        {"artwork gone", withArt({}), 3, false, 0},
        {"still gone", withArt({}), 3, false, 0},
        {"back again", withArt(redArt), 4, true, green},
    };
    for (const auto& step : steps) {
        monitor->apply(step.info);
        const QByteArray cover = monitor->coverRGB565();
        EXPECT_EQ(monitor->snapshot().artworkRev, step.rev) << step.what;
        EXPECT_EQ(document()["artwork_rev"].toInteger(), step.rev) << step.what;
        EXPECT_EQ(document()["has_artwork"].toBool(), step.hasCover) << step.what;
        ASSERT_EQ(cover.size(), step.hasCover ? 128 * 128 * 2 : 0) << step.what;
        if (step.hasCover) {
            EXPECT_EQ(pixel(cover, 128, 64, 64), step.centre) << step.what;
        }
    }
}

TEST_F(NowPlayingMonitorTest, ElapsedAdvancesWhilePlaying) {
    const struct {
        const char* what;
        bool playing;
        double duration;
        double elapsed;
        double later;
        qint64 reportedElapsed;
        QByteArray progress;
    } cases[] = {
        {"playing", true, 200, 50, 10, 60, "0.3"},
        {"paused", false, 200, 50, 10, 50, "0.25"},
        {"no duration", true, 0, 50, 10, 50, "0"},
        {"stops at the end", true, 200, 195, 60, 200, "1"},
        {"rounded to the second", true, 200, 50, 0.5, 51, "0.2525"},
    };
    for (const auto& c : cases) {
        monitor = std::make_shared<NowPlayingMonitor>(source, clock);
        NowPlayingInfo info = track("Song", "Artist", "Album", c.duration);
        info.playing = c.playing;
        info.elapsed = c.elapsed;
        monitor->apply(info);
        clock->advance(c.later);
        const QByteArray json = monitor->jsonData();
        const QJsonObject doc = QJsonDocument::fromJson(json).object();
        EXPECT_EQ(doc["elapsed"].toInteger(), c.reportedElapsed) << c.what;
        EXPECT_EQ(doc["duration"].toInteger(), qint64(c.duration)) << c.what;
        EXPECT_TRUE(json.contains("\"progress\":" + c.progress + ",")) << c.what << ": " << json.constData();
    }
}

TEST_F(NowPlayingMonitorTest, DocumentKeysAndTextRevision) {
    const QJsonObject first = document();
    EXPECT_EQ(first.keys(), QStringList({"album", "artist", "artwork_rev", "duration", "elapsed",
                                         "has_artwork", "playing", "progress", "text_rev", "title"}));
    EXPECT_EQ(first["text_rev"].toInteger(), 1) << "the empty strip is rendered at the first request";
    EXPECT_EQ(monitor->textRGB565().size(), 232 * 44 * 2);

    const struct {
        const char* what;
        NowPlayingInfo info;
        qint64 textRev;
    } steps[] = {
        {"a track", track("Song", "Artist", "Album"), 2},
        {"the same track", track("Song", "Artist", "Album"), 2},
        {"another album only", track("Song", "Artist", "Other album"), 2},
        {"another artist", track("Song", "Band", "Album"), 3},
        {"another title", track("Tune", "Band", "Album"), 4},
    };
    for (const auto& step : steps) {
        monitor->apply(step.info);
        EXPECT_EQ(document()["text_rev"].toInteger(), step.textRev) << step.what;
    }
}

TEST(NowPlayingCover, AspectFillsAndCropsTheCentre) {
    // 200 x 100 shows its middle 100 columns: red 50-60, green 60-140, blue 140-150 of the
    // source, scaled by 1.28. A stretched or left-aligned picture would differ at 20 and 108.
    const QByteArray wide =
        NowPlayingMonitor::makeCoverRGB565(png(threeBands({200, 100}, 60, 140, Qt::Horizontal)));
    const QByteArray tall =
        NowPlayingMonitor::makeCoverRGB565(png(threeBands({100, 200}, 60, 140, Qt::Vertical)));
    const struct {
        int along;
        quint16 colour;
    } expected[] = {{0, red}, {4, red}, {20, green}, {64, green}, {108, green}, {123, blue}, {127, blue}};
    ASSERT_EQ(wide.size(), 128 * 128 * 2);
    ASSERT_EQ(tall.size(), 128 * 128 * 2);
    for (const auto& e : expected) {
        for (int across : {0, 64, 127}) {
            EXPECT_EQ(pixel(wide, 128, e.along, across), e.colour) << "wide x " << e.along << " y " << across;
            EXPECT_EQ(pixel(tall, 128, across, e.along), e.colour) << "tall y " << e.along << " x " << across;
        }
    }
}

TEST(NowPlayingCover, SmallTransparentAndBrokenImages) {
    QImage transparent(3, 2, QImage::Format_ARGB32);
    transparent.fill(Qt::transparent);
    const QByteArray cover = NowPlayingMonitor::makeCoverRGB565(png(transparent));
    ASSERT_EQ(cover.size(), 128 * 128 * 2);
    EXPECT_EQ(cover, QByteArray(128 * 128 * 2, '\0')) << "transparency shows black";

    QImage one(1, 1, QImage::Format_RGB32);
    one.fill(Qt::blue);
    EXPECT_EQ(pixel(NowPlayingMonitor::makeCoverRGB565(png(one)), 128, 127, 127), blue);

    for (const QByteArray& broken : {QByteArray(), QByteArray("GIF89a"), png(one).left(30)})
        EXPECT_TRUE(NowPlayingMonitor::makeCoverRGB565(broken).isEmpty()) << broken.size();
}

// The brightest channel over a band of rows, and the columns that carry any ink.
struct Ink {
    int brightest = 0;
    int left = -1;
    int right = -1;
};

Ink inkIn(const QImage& strip, int top, int bottom, int fromColumn = 0, int toColumn = 231) {
    Ink ink;
    for (int y = top; y <= bottom; ++y) {
        for (int x = fromColumn; x <= toColumn; ++x) {
            const QRgb p = strip.pixel(x, y);
            const int level = std::max({qRed(p), qGreen(p), qBlue(p)});
            if (level == 0)
                continue;
            ink.brightest = std::max(ink.brightest, level);
            ink.left = ink.left < 0 ? x : std::min(ink.left, x);
            ink.right = std::max(ink.right, x);
        }
    }
    return ink;
}

int inkedRows(const QImage& strip, int top, int bottom, int fromColumn, int toColumn) {
    int rows = 0;
    for (int y = top; y <= bottom; ++y)
        rows += inkIn(strip, y, y, fromColumn, toColumn).brightest > 0 ? 1 : 0;
    return rows;
}

TEST(NowPlayingTextStrip, Lines) {
    constexpr int titleTop = 0, titleBottom = 25, artistTop = 26, artistBottom = 43;
    const struct {
        const char* what;
        QString title;
        QString artist;
        int titleLevel;
        int artistLevel;
    } cases[] = {
        {"title and artist", "Song", "Artist", 255, 184},
        {"no title shows No Music in grey", "", "Artist", 128, 184},
        {"an empty artist leaves the lower line black", "Song", "", 255, 0},
        {"nothing at all", "", "", 128, 0},
        {"Chinese text", "夜曲", "周杰伦", 255, 184},
    };
    for (const auto& c : cases) {
        const QImage strip = NowPlayingMonitor::renderTextStrip(c.title, c.artist);
        ASSERT_EQ(strip.size(), QSize(232, 44)) << c.what;
        EXPECT_EQ(inkIn(strip, titleTop, titleBottom).brightest, c.titleLevel) << c.what;
        EXPECT_EQ(inkIn(strip, artistTop, artistBottom).brightest, c.artistLevel) << c.what;
        const Ink title = inkIn(strip, titleTop, titleBottom);
        // Centred: the margins left and right of the ink differ by at most a pixel or two.
        EXPECT_LE(std::abs(title.left - (231 - title.right)), 2) << c.what;
    }
}

TEST(NowPlayingTextStrip, LongTitleEndsWithAnEllipsis) {
    const QImage strip = NowPlayingMonitor::renderTextStrip(QString(80, u'W'), QString(80, u'M'));
    for (const auto& [top, bottom] : {std::pair{0, 25}, std::pair{26, 43}}) {
        const Ink ink = inkIn(strip, top, bottom);
        EXPECT_GE(ink.left, 2);
        EXPECT_LE(ink.right, 229);
        EXPECT_GT(ink.right - ink.left, 200) << "the line is filled";
        // The last glyph is a row of dots, a few pixels high, while a W or M is much taller.
        EXPECT_LE(inkedRows(strip, top, bottom, ink.right - 4, ink.right), 3);
        EXPECT_GE(inkedRows(strip, top, bottom, ink.left, ink.left + 4), 8);
    }
}

TEST_F(NowPlayingMonitorTest, PollsOneProbeAtATime) {
    source->set(track("Song", "Artist", "Album", 200));
    source->hold();
    monitor->poll();
    ASSERT_TRUE(waitUntil([&] { return source->probeCount() == 1; }));
    monitor->poll(); // skipped: the first probe is still running
    source->release();
    ASSERT_TRUE(waitUntil([&] { return monitor->snapshot().title == "Song"; }));
    EXPECT_EQ(source->probeCount(), 1);

    // Probes that cannot answer leave the track as it was.
    source->set(std::nullopt);
    ASSERT_TRUE(waitUntil([&] {
        monitor->poll();
        return source->probeCount() >= 3;
    }));
    EXPECT_EQ(monitor->snapshot().title, "Song");
}

} // namespace
