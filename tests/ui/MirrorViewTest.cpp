#include "ui/MirrorView.h"

#include <QImage>

#include <gtest/gtest.h>

using namespace glimmet;

namespace {

TEST(QuotaBorderLevelTest, ThresholdsAt50And75) {
    const struct {
        std::optional<double> percent;
        QuotaBorderLevel level;
    } rows[] = {{std::nullopt, QuotaBorderLevel::green},
                {49.9, QuotaBorderLevel::green},
                {50, QuotaBorderLevel::yellow},
                {74.9, QuotaBorderLevel::yellow},
                {75, QuotaBorderLevel::red},
                {120, QuotaBorderLevel::red}};
    for (const auto& row : rows)
        EXPECT_EQ(quotaBorderLevel(row.percent), row.level) << row.percent.value_or(-1);
}

TEST(MirrorViewDecode, SpriteNeedsMoreBytesThanItsFramesAndConvertsEachPixel) {
    // Two 2 x 1 frames: magenta-ish F81F, green 07E0, white FFFF, black 0000.
    const QByteArray frames = QByteArray::fromHex("02"
                                                  "F81F07E0"
                                                  "FFFF0000");
    const struct {
        QByteArray data;
        std::int64_t w, h;
        qsizetype count;
    } rows[] = {{frames, 2, 1, 2},
                {frames.left(8), 2, 1, 0},
                {QByteArray::fromHex("00AA"), 2, 1, 0},
                {frames + "x", 1 << 30, 1 << 30, 0}};
    for (const auto& row : rows)
        EXPECT_EQ(MirrorView::decodeSpriteFrames(row.data, row.w, row.h).size(), row.count)
            << row.data.toHex().data();

    const auto decoded = MirrorView::decodeSpriteFrames(frames + "x", 2, 1);
    EXPECT_EQ(decoded[0].pixel(0, 0), qRgb(0xF8, 0x00, 0xF8));
    EXPECT_EQ(decoded[0].pixel(1, 0), qRgb(0x00, 0xFC, 0x00));
    EXPECT_EQ(decoded[1].pixel(0, 0), qRgb(0xF8, 0xFC, 0xF8));
    EXPECT_FALSE(MirrorView::decodeCover(QByteArray(7, 0), 2, 2));
    EXPECT_EQ(MirrorView::decodeCover(QByteArray::fromHex("F81F07E0"), 2, 1)->pixel(1, 0), qRgb(0, 0xFC, 0));
}

// The colour at a point of the clock's 240 x 240 screen, read from the widget drawn at 288.
QRgb at(MirrorView& view, int x, int y) {
    return view.grab().toImage().pixel(int(x * 1.2), int(y * 1.2)) | 0xFF000000;
}

const QRgb yellow = qRgb(255, 204, 0), red = qRgb(255, 59, 48), blue = qRgb(0, 0, 255);
const QRgb green = QColor::fromRgbF(0, 0.85f, 0.2f).rgb();

TEST(MirrorViewDraw, EachSceneDrawsItsOwnPixels) {
    MirrorView view;
    view.deviceOK = true;
    view.ringPct = 50; // the top and right sides
    view.ringLevel = QuotaBorderLevel::yellow;
    EXPECT_EQ(at(view, 120, 5), yellow);
    EXPECT_EQ(at(view, 235, 120), yellow);
    EXPECT_NE(at(view, 120, 235), yellow);
    view.needsInput = view.flashOn = true;
    EXPECT_EQ(at(view, 120, 235), red);
    view.needsInput = false;
    view.deviceOK = false;
    EXPECT_EQ(at(view, 120, 5), qRgb(70, 70, 70));

    std::tie(view.musicMode, view.musicPlaying, view.musicElapsed, view.musicDuration) =
        std::tuple(true, true, 50, 100);
    EXPECT_EQ(at(view, 120, 60), qRgb(51, 51, 51)); // no cover
    EXPECT_EQ(at(view, 60, 214), green);            // played half
    EXPECT_NE(at(view, 200, 214), green);

    view.btcMode = true;
    QImage frame(240, 240, QImage::Format_RGB32);
    frame.fill(QColor(0, 0, 255));
    view.btcFrame = frame;
    EXPECT_EQ(at(view, 120, 120), blue);
    view.ludicrousProgress = 0.5; // the fast-mode animation covers every scene
    EXPECT_NE(at(view, 120, 120), blue);
}

} // namespace
