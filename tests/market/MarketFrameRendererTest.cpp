#include "market/MarketFrameRenderer.h"

#include <QCoreApplication>
#include <QDir>
#include <QPainter>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace glimmet;

namespace {

// Frames drawn by these tests are kept next to the test binary for a person to look at.
QImage frame(const MarketSnapshot& snapshot, const QString& pngName) {
    const QImage image = MarketFrameRenderer::bitmap(snapshot);
    QDir(QCoreApplication::applicationDirPath()).mkpath("market-frames");
    image.save(QCoreApplication::applicationDirPath() + "/market-frames/" + pngName + ".png");
    return image;
}

MarketSnapshot snapshotOf(const char* presetId, int count = 0, MarketCandle candle = {}, double change = 0) {
    return {.instrument = *MarketInstrument::preset(presetId),
            .candles = QList<MarketCandle>(count, candle),
            .price = count ? candle.close : 100,
            .change24h = change,
            .source = "Tencent",
            .marketOpen = true};
}

// Anti-aliasing over black scales a colour's channels together, so the hue of a pixel tells
// its colour once it is bright enough; fainter edge pixels are judged by none of these.
using Colour = bool (*)(QRgb);
const Colour black = [](QRgb p) { return (p & 0xFFFFFF) == 0; };
const Colour visible = [](QRgb p) { return std::max({qRed(p), qGreen(p), qBlue(p)}) > 40; };
const Colour red = [](QRgb p) { return visible(p) && qRed(p) > 2 * qGreen(p) && qRed(p) > 2 * qBlue(p); };
const Colour green = [](QRgb p) { return visible(p) && 2 * qGreen(p) > 3 * std::max(qRed(p), qBlue(p)); };
const Colour grey = [](QRgb p) {
    return !black(p) && std::abs(qRed(p) - qGreen(p)) <= 2 && std::abs(qGreen(p) - qBlue(p)) <= 2;
};
const Colour tinted = [](QRgb p) { return !black(p) && !grey(p); };

int count(const QImage& image, const QRect& area, auto test) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += test(image.pixel(x, y));
    return n;
}

// Pixels that are not black outside every allowed rectangle.
int stray(QImage image, const QList<QRect>& allowed) {
    QPainter painter(&image);
    for (const QRect& r : allowed)
        painter.fillRect(r, Qt::black);
    painter.end();
    return image.width() * image.height() - count(image, image.rect(), black);
}

const QRect headerBand(8, 8, 232, 13);
const QRect priceBand(8, 22, 150, 28);
const QRect changeBox(158, 31, 82, 13);
const QRect emptyChartBox(48, 130, 108, 12);
const QRect chartArea(9, 58, 222, 156); // two rows below 211 for bodies at the floor
const QRect footerBand(10, 220, 230, 12);

// One text in its box: where its ink ends (cells of the font's advance: 6.02 at size 10, 4.82
// at 8, 13.85 at 23, 5.4 at 9; a CJK character is square), its colour and brightest level.
using Text = std::tuple<QRect, double, Colour, int>;
void expectText(const QImage& image, const Text& text, const std::string& what) {
    const auto& [box, right, colour, level] = text;
    EXPECT_GT(count(image, box & QRect(int(right) - 5, 0, 10, 240), visible), 0) << what; // ends near `right`
    EXPECT_EQ(count(image, box & QRect(int(right) + 5, 0, 240, 240), visible), 0) << what;
    EXPECT_GT(count(image, box, colour), 10) << what;
    EXPECT_EQ(count(image, box, [&](QRgb p) { return visible(p) && !colour(p); }), 0) << what;
    EXPECT_GT(count(image, box, [&](QRgb p) { return std::abs(qGray(p) - level) <= 10; }), 0) << what;
    EXPECT_EQ(count(image, box, [&](QRgb p) { return qGray(p) > level + 10; }), 0) << what;
}

TEST(MarketFrameRenderer, WaitingFrameShowsEveryTextInItsPlace) {
    const auto waiting =
        MarketSnapshot::waiting(*MarketInstrument::preset("btc-usd"), MarketInterval::fiveMinutes);
    const QImage image = frame(waiting, "waiting");
    EXPECT_EQ(image.format(), QImage::Format_ARGB32_Premultiplied);
    const std::pair<const char*, Text> texts[] = {
        {"BTC  BTC/USD  5m", {headerBand, 8 + 16 * 6.02, grey, 184}},     // grey 0.72
        {"--", {priceBand, 8 + 2 * 13.85, grey, 255}},                    // white
        {"+0.00%", {changeBox, 158 + 6 * 6.02, green, 131}},              // crypto rises in green
        {"WAITING FOR MARKET", {emptyChartBox, 48 + 18 * 5.4, grey, 85}}, // grey one third
        {"  STALE", {footerBand, 10 + 7 * 5.4, red, 124}},
    };
    for (const auto& [what, text] : texts)
        expectText(image, text, what);
    EXPECT_EQ(count(image, QRect(10, 220, 10, 12), black), 120); // the empty source's two spaces

    // Four grid lines from x 9 to 230 in grey 0.12, and nothing else but the texts.
    QList<QRect> allowed{headerBand, priceBand, changeBox, emptyChartBox, footerBand};
    for (int y : {58, 109, 160, 211}) {
        allowed.append(QRect(9, y, 222, 1));
        EXPECT_EQ(count(image, allowed.back(), [](QRgb p) { return p == qRgb(31, 31, 31); }), 222) << y;
    }
    EXPECT_EQ(stray(image, allowed), 0);

    // The raw frame: big-endian RGB565 row by row; grey 31 is 00011 000111 00011.
    const QByteArray raw = MarketFrameRenderer::rgb565(waiting);
    ASSERT_EQ(raw.size(), 115200);
    EXPECT_EQ(raw.mid(2 * (58 * 240 + 100), 2), QByteArray("\x18\xE3", 2));
}

TEST(MarketFrameRenderer, HeaderPriceAndFooterTexts) {
    const QRect priceTops(8, 22, 232, 9); // rows above the change: a long price is narrowed to end before it
    // The instrument's name, the price, source, stale and open, and one text of the frame.
    const std::tuple<const char*, double, const char*, bool, bool, Text> cases[] = {
        // The header's size depends on the name alone: below 9 characters 10, else 8.
        {"ABCDEFGH", 1, "", false, true, {headerBand, 8 + 18 * 6.02, grey, 184}},
        {"ABCDEFGHI", 1, "", false, true, {headerBand, 8 + 19 * 4.82, grey, 184}},
        {"纳斯达克综合", 1, "", false, true, {headerBand, 8 + 6 * 10 + 10 * 6.02, grey, 184}},
        {"纳斯达克综合指数基", 1, "", false, true, {headerBand, 8 + 9 * 8 + 10 * 4.82, grey, 184}},
        {"Apple", 1234567.891, "", false, true, {priceTops, 152, grey, 255}},          // 11 cells, narrowed
        {"Apple", 1, "Coinbase", false, true, {footerBand, 10 + 14 * 5.4, grey, 115}}, // grey 0.45
        {"Apple", 1, "Tencent-DAY", false, false, {footerBand, 10 + 19 * 5.4, grey, 115}},
        {"Apple", 1, "", false, true, {emptyChartBox, 48 + 16 * 5.4, grey, 85}}, // "NO INTRADAY DATA"
    };
    for (int i = 0; i < std::ssize(cases); ++i) {
        const auto& [name, price, source, stale, open, text] = cases[i];
        MarketSnapshot s = snapshotOf("us-AAPL");
        std::tie(s.price, s.source, s.stale, s.marketOpen) = std::tuple(price, source, stale, open);
        s.instrument.name = QString::fromUtf8(name);
        expectText(frame(s, QString("texts-%1").arg(i)), text, "case " + std::to_string(i));
    }
}

TEST(MarketFrameRenderer, RiseAndFallColoursFollowTheRegion) {
    const MarketCandle rise{0, 95, 115, 100, 110};
    const MarketCandle fall{0, 95, 115, 110, 100};
    const std::tuple<const char*, MarketCandle, double, Colour> cases[] = {
        {"cn-sh000001", fall, -1, green}, {"cn-sh000001", rise, 1, red}, {"hk-HSI", rise, 0.5, red},
        {"hk-HSI", fall, -0.5, green},    {"kr-KOSPI", fall, -1, green}, {"us-AAPL", fall, -1, red},
        {"us-AAPL", rise, 2, green},      {"btc-usd", rise, 0, green},   {"eth-usd", fall, -3, red},
    };
    for (const auto& [preset, candle, change, colour] : cases) {
        const QString name = QString("%1-%2").arg(preset, change < 0 ? "fall" : "rise");
        const QImage image = frame(snapshotOf(preset, 12, candle, change), name);
        const Colour other = colour == red ? green : red;
        for (const QRect& area : {chartArea, changeBox}) {
            EXPECT_GT(count(image, area, colour), 20) << name.toStdString();
            EXPECT_EQ(count(image, area, other), 0) << name.toStdString();
        }
    }
}

TEST(MarketFrameRenderer, LineOnlySnapshotsDrawOneTwoPixelLineAndNoBodies) {
    // Closes all at 90 on a 0...153 scale put the line on y 121; the opens and wicks are far off.
    MarketSnapshot line = snapshotOf("us-TSLA", 20, {0, 0, 153, 10, 90}, 1.5);
    line.lineOnly = true;
    const QImage image = frame(line, "line-only");
    for (int x : {20, 120, 220})
        EXPECT_TRUE(black(image.pixel(x, 118)) && green(image.pixel(x, 120)) && green(image.pixel(x, 121)) &&
                    black(image.pixel(x, 123)))
            << x;
    EXPECT_EQ(count(image, QRect(9, 59, 222, 152), visible), count(image, QRect(9, 118, 222, 6), visible));
    // A change that is not a number shows as no change, in the text and in the line's colour.
    line.change24h = 0;
    const QImage zero = frame(line, "line-only-change-zero");
    line.change24h = std::nan("");
    EXPECT_EQ(frame(line, "line-only-change-nan"), zero);
}

TEST(MarketFrameRenderer, FlatCandlesSitTwoPixelsHighOnTheFloor) {
    // Ten bodies about 12.9 pixels wide on rows 211 and 212, nothing coloured above or below them.
    for (double price : {50.0, 0.5, 0.0, -3.0, 97234.5}) {
        const QImage image =
            frame(snapshotOf("btc-usd", 10, {0, price, price, price, price}), QString("flat-%1").arg(price));
        EXPECT_GE(count(image, QRect(9, 211, 222, 2), green), 10 * 2 * 12) << price;
        EXPECT_EQ(count(image, QRect(8, 58, 224, 160), tinted), count(image, QRect(8, 211, 224, 2), tinted))
            << price;
    }
}

TEST(MarketFrameRenderer, CandlesShareTheChartWidth) {
    // Of n candles, candle i is centred at 9 + 222 / n * (i + 0.5), its body 0.58 of that step wide
    // (2 at least): with 10, candle 1 at 42.3 from 35.86 to 48.74; with 36, candle 35 at 227.92
    // from 226.13 to 229.71. Every other candle falls and has its own colour.
    const struct {
        int n, i, centre, left, right; // the columns of the centre and of the body's ends
    } rows[] = {{1, 0, 120, 55, 184}, {10, 0, 20, 13, 26}, {10, 1, 42, 35, 48},    {10, 9, 219, 213, 226},
                {36, 0, 12, 10, 13},  {36, 1, 18, 16, 20}, {36, 35, 227, 226, 229}};
    for (const auto& row : rows) {
        MarketSnapshot s = snapshotOf("us-NVDA", row.n, {0, 90, 120, 100, 110}, 0.8);
        for (int i = 1; i < row.n; i += 2)
            std::swap(s.candles[i].open, s.candles[i].close);
        const QImage image = frame(s, QString("candles-%1").arg(row.n));
        const Colour colour = row.i % 2 ? red : green;
        EXPECT_TRUE(colour(image.pixel(row.centre, 80)) && black(image.pixel(row.left - 1, 130)) &&
                    colour(image.pixel(row.left + 1, 130)) && colour(image.pixel(row.right - 1, 130)) &&
                    black(image.pixel(row.right + 1, 130)))
            << row.n << " candles, " << row.i;
    }
}

TEST(MarketFrameRenderer, PriceFormatsByCurrency) {
    const std::tuple<double, const char*, const char*> cases[] = {
        {97234.5, "USD", "$97234.50"},   {0.004, "USD", "$0.00"},    {70500, "KRW", "₩70500"},
        {70500.5, "KRW", "₩70500"},      {70501.5, "KRW", "₩70502"}, {3312.454, "CNY", "¥3312.45"},
        {19865.2, "HKD", "HK$19865.20"}, {1.5, "EUR", "1.50"},       {1.005, "", "1.00"},
    };
    for (const auto& [price, currency, text] : cases)
        EXPECT_EQ(MarketFrameRenderer::formatPrice(price, currency).toStdString(), text) << price << currency;
    for (double price : {0.0, -5.0, std::nan(""), std::numeric_limits<double>::infinity()})
        EXPECT_EQ(MarketFrameRenderer::formatPrice(price, "USD"), "--") << price;
}

TEST(MarketFrameRenderer, AnySnapshotGivesAWholeFrame) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    MarketSnapshot odd = snapshotOf("kr-KOSDAQ", 3, {0, nan, inf, 1, 2}, nan);
    odd.candles.append({900, 1, 3, 2, 2});
    std::tie(odd.instrument.name, odd.source, odd.price) = std::tuple("", "", 1e308);
    // Absurd prices run into the change; bodies 2 pixels wide may reach past the chart's sides.
    const QList<QRect> areas{headerBand, QRect(8, 22, 232, 28), QRect(8, 58, 225, 156), footerBand};
    for (const MarketSnapshot& s : {MarketSnapshot{}, odd, snapshotOf("btc-usd", 500, {0, 1, 2, 1, 2}),
                                    snapshotOf("us-DJI", 2, {0, -1e308, 1e308, 1e308, -1e308}, -1e300)}) {
        EXPECT_EQ(MarketFrameRenderer::rgb565(s).size(), 115200) << s.instrument.id.toStdString();
        EXPECT_EQ(stray(frame(s, "odd-" + s.instrument.id), areas), 0) << s.instrument.id.toStdString();
    }
    EXPECT_TRUE(red(frame(odd, "odd-bars").pixel(60, 135))); // bars without numbers are left out
}

} // namespace
