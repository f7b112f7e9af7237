#include "market/MarketFrameRenderer.h"

#include <QCoreApplication>
#include <QDir>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

using namespace glimmet;

namespace {

// Frames drawn by these tests are kept next to the test binary for a person to look at.
QImage frame(const MarketSnapshot& snapshot, const QString& pngName) {
    const QImage image = MarketFrameRenderer::bitmap(snapshot);
    const QString folder = QCoreApplication::applicationDirPath() + "/market-frames";
    QDir().mkpath(folder);
    image.save(folder + "/" + pngName + ".png");
    return image;
}

MarketSnapshot snapshotOf(const char* presetId, QList<MarketCandle> candles = {}, double change = 0) {
    MarketSnapshot s =
        MarketSnapshot::waiting(*MarketInstrument::preset(presetId), MarketInterval::fiveMinutes);
    s.price = candles.isEmpty() ? 100 : candles.back().close;
    s.candles = std::move(candles);
    s.change24h = change;
    s.source = "Tencent";
    s.updatedAt = 1'780'000'000;
    s.stale = false;
    s.marketOpen = true;
    return s;
}

QList<MarketCandle> repeated(int count, MarketCandle candle) {
    QList<MarketCandle> candles;
    for (int i = 0; i < count; ++i) {
        candles.append(candle);
        candles.back().time = 1'780'000'000 + 300 * i;
    }
    return candles;
}

// Anti-aliasing over black scales a colour's channels together, so the hue of a pixel tells
// its colour once it is bright enough; fainter edge pixels are judged by none of these.
bool isBlack(QRgb p) {
    return (p & 0xFFFFFF) == 0;
}
bool isVisible(QRgb p) {
    return std::max({qRed(p), qGreen(p), qBlue(p)}) > 40;
}
bool isRed(QRgb p) {
    return isVisible(p) && qRed(p) > 2 * qGreen(p) && qRed(p) > 2 * qBlue(p);
}
bool isGreen(QRgb p) {
    return isVisible(p) && qGreen(p) > qRed(p) * 3 / 2 && qGreen(p) > qBlue(p) * 3 / 2;
}
bool isGrey(QRgb p) {
    return !isBlack(p) && std::abs(qRed(p) - qGreen(p)) <= 2 && std::abs(qGreen(p) - qBlue(p)) <= 2;
}
bool isOtherThanGreen(QRgb p) {
    return isVisible(p) && !isGreen(p);
}
bool isOtherThanRed(QRgb p) {
    return isVisible(p) && !isRed(p);
}

int count(const QImage& image, const QRect& area, const std::function<bool(QRgb)>& test) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += test(image.pixel(x, y)) ? 1 : 0;
    return n;
}

// The smallest rectangle holding every pixel of `area` that is not black.
QRect ink(const QImage& image, const QRect& area) {
    QRect bounds;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (!isBlack(image.pixel(x, y)))
                bounds |= QRect(x, y, 1, 1);
    return bounds;
}

int brightest(const QImage& image, const QRect& area) {
    int level = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            level = std::max(level, qGray(image.pixel(x, y)));
    return level;
}

// Pixels outside every allowed rectangle that are not black.
int strayPixels(const QImage& image, const QList<QRect>& allowed) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (!isBlack(image.pixel(x, y)) &&
                std::ranges::none_of(allowed, [&](const QRect& r) { return r.contains(x, y); }))
                ++n;
    return n;
}

// Runs of coloured pixels along one row between two columns.
int runsInRow(const QImage& image, int y, int from, int to, const std::function<bool(QRgb)>& test) {
    int runs = 0;
    bool inside = false;
    for (int x = from; x <= to; ++x) {
        const bool hit = test(image.pixel(x, y));
        runs += hit && !inside ? 1 : 0;
        inside = hit;
    }
    return runs;
}

const int gridRows[] = {58, 109, 160, 211};
const QRect headerBand(8, 8, 232, 13);
const QRect priceBand(8, 22, 150, 28);
const QRect changeBox(158, 31, 82, 13);
const QRect chartArea(9, 58, 222, 156); // two rows below 211 for bodies at the floor
const QRect footerBand(10, 220, 230, 12);

TEST(MarketFrameRenderer, WaitingFrameShowsEveryTextInItsPlace) {
    const MarketSnapshot waiting =
        MarketSnapshot::waiting(*MarketInstrument::preset("btc-usd"), MarketInterval::fiveMinutes);
    const QImage image = frame(waiting, "waiting");
    ASSERT_EQ(image.size(), QSize(240, 240));
    EXPECT_EQ(image.format(), QImage::Format_ARGB32_Premultiplied);

    // Header "BTC  BTC/USD  5m" in grey 0.72: sixteen cells of a 10-pixel monospaced font.
    const QRect header = ink(image, headerBand);
    EXPECT_GE(header.left(), 8);
    EXPECT_NEAR(header.right(), 8 + 16 * 6, 6);
    EXPECT_EQ(count(image, headerBand, [](QRgb p) { return !isBlack(p) && !isGrey(p); }), 0);
    EXPECT_NEAR(brightest(image, headerBand), 184, 2);

    // Price "--" in white, well left of the change.
    const QRect price = ink(image, priceBand);
    EXPECT_GE(price.left(), 8);
    EXPECT_LT(price.right(), 8 + 2 * 15);
    EXPECT_EQ(brightest(image, priceBand), 255);

    // "+0.00%" in the rising colour of crypto, green.
    EXPECT_GT(count(image, changeBox, isGreen), 20);
    EXPECT_EQ(count(image, changeBox, isOtherThanGreen), 0);
    EXPECT_GE(ink(image, changeBox).left(), 158);

    // Four grid rows across the chart and nothing else in it but the waiting text.
    for (int y : gridRows) {
        for (int x : {9, 100, 230})
            EXPECT_EQ(image.pixel(x, y), qRgb(31, 31, 31)) << x << "," << y;
        EXPECT_TRUE(isBlack(image.pixel(8, y))) << y;
        EXPECT_TRUE(isBlack(image.pixel(231, y))) << y;
        EXPECT_TRUE(isBlack(image.pixel(100, y - 1))) << y;
        EXPECT_TRUE(isBlack(image.pixel(100, y + 1))) << y;
    }
    const QRect waitingBox(48, 130, 18 * 6, 12);
    const QRect text = ink(image, waitingBox);
    EXPECT_GE(text.left(), 48);
    EXPECT_NEAR(text.right(), 48 + 18 * 5.4, 6); // "WAITING FOR MARKET", 9-pixel cells
    EXPECT_NEAR(brightest(image, waitingBox), 85, 2);
    EXPECT_EQ(count(image, waitingBox, [](QRgb p) { return !isBlack(p) && !isGrey(p); }), 0);

    // Footer "  STALE" in red: the empty source leaves two blank cells.
    const QRect footer = ink(image, footerBand);
    EXPECT_GE(footer.left(), 10 + 10);
    EXPECT_NEAR(footer.right(), 10 + 7 * 5.4, 5);
    EXPECT_EQ(count(image, footerBand, isOtherThanRed), 0);
    EXPECT_GT(count(image, footerBand, isRed), 20);

    QList<QRect> allowed{headerBand, priceBand, changeBox, waitingBox, footerBand};
    for (int y : gridRows)
        allowed.append(QRect(9, y, 222, 1));
    EXPECT_EQ(strayPixels(image, allowed), 0);
}

TEST(MarketFrameRenderer, Rgb565FrameIsTheWholePictureBigEndian) {
    const MarketSnapshot waiting =
        MarketSnapshot::waiting(*MarketInstrument::preset("btc-usd"), MarketInterval::fiveMinutes);
    const QByteArray raw = MarketFrameRenderer::rgb565(waiting);
    ASSERT_EQ(raw.size(), 115200);
    EXPECT_EQ(raw.left(2), QByteArray(2, 0));
    const qsizetype gridPixel = 2 * (58 * 240 + 100); // grey 31: 00011 000111 00011
    EXPECT_EQ(raw.mid(gridPixel, 2), QByteArray("\x18\xE3", 2));
    EXPECT_EQ(raw.right(2), QByteArray(2, 0));
}

TEST(MarketFrameRenderer, RiseAndFallColoursFollowTheRegion) {
    const MarketCandle rise{0, 95, 115, 100, 110};
    const MarketCandle fall{0, 95, 115, 110, 100};
    const struct {
        const char* preset;
        MarketCandle candle;
        double change;
        bool red;
    } cases[] = {
        {"cn-sh000001", fall, -1, false}, {"cn-sh000001", rise, 1, true}, {"hk-HSI", rise, 0.5, true},
        {"hk-HSI", fall, -0.5, false},    {"kr-KOSPI", fall, -1, false},  {"us-AAPL", fall, -1, true},
        {"us-AAPL", rise, 2, false},      {"btc-usd", rise, 0, false},    {"eth-usd", fall, -3, true},
    };
    for (const auto& c : cases) {
        const QString name = QString("%1-%2").arg(c.preset, c.change < 0 ? "fall" : "rise");
        const QImage image = frame(snapshotOf(c.preset, repeated(12, c.candle), c.change), name);
        const auto expected = c.red ? isRed : isGreen;
        const auto other = c.red ? isGreen : isRed;
        EXPECT_GT(count(image, chartArea, expected), 500) << name.toStdString();
        EXPECT_EQ(count(image, chartArea, other), 0) << name.toStdString();
        EXPECT_GT(count(image, changeBox, expected), 20) << name.toStdString();
        EXPECT_EQ(count(image, changeBox, other), 0) << name.toStdString();
    }

    // Each candle has its own colour, whatever the day's change says.
    MarketSnapshot mixed = snapshotOf("us-NVDA", {rise, fall}, -1);
    mixed.candles[1].time = 300;
    const QImage image = frame(mixed, "us-mixed");
    EXPECT_TRUE(isGreen(image.pixel(64, 130))); // x(0) = 9 + 111 * 0.5
    EXPECT_TRUE(isRed(image.pixel(175, 130)));  // x(1) = 9 + 111 * 1.5
}

TEST(MarketFrameRenderer, LineOnlySnapshotsDrawOneTwoPixelLineAndNoBodies) {
    // Closes all at 90 on a 0...153 scale put the line on y 121; the opens and wicks are far off.
    MarketSnapshot line = snapshotOf("us-TSLA", repeated(20, {0, 0, 153, 10, 90}), 1.5);
    line.lineOnly = true;
    const QImage image = frame(line, "line-only");
    for (int x : {20, 120, 220}) {
        EXPECT_TRUE(isGreen(image.pixel(x, 120))) << x;
        EXPECT_TRUE(isGreen(image.pixel(x, 121))) << x;
        EXPECT_TRUE(isBlack(image.pixel(x, 118))) << x;
        EXPECT_TRUE(isBlack(image.pixel(x, 123))) << x;
    }
    QList<QRect> allowed{headerBand, priceBand, changeBox, footerBand, QRect(9, 118, 222, 6)};
    for (int y : gridRows)
        allowed.append(QRect(9, y, 222, 1));
    EXPECT_EQ(strayPixels(image, allowed), 0);

    // The same candles drawn as candles fill their bodies and wicks.
    line.lineOnly = false;
    EXPECT_GT(count(frame(line, "line-only-as-candles"), QRect(9, 130, 222, 70), isGreen), 1000);
}

TEST(MarketFrameRenderer, FlatCandlesSitTwoPixelsHighOnTheFloor) {
    for (double price : {50.0, 0.5, 0.0, -3.0, 97234.5}) {
        const QImage image = frame(snapshotOf("btc-usd", repeated(10, {0, price, price, price, price})),
                                   QString("flat-%1").arg(price));
        for (int i = 0; i < 10; ++i) {
            const int x = int(9 + 22.2 * (i + 0.5));
            EXPECT_TRUE(isGreen(image.pixel(x, 211))) << price << " candle " << i;
            EXPECT_TRUE(isGreen(image.pixel(x, 212))) << price << " candle " << i;
            EXPECT_TRUE(isBlack(image.pixel(x, 210))) << price << " candle " << i;
            EXPECT_TRUE(isBlack(image.pixel(x, 213))) << price << " candle " << i;
        }
        EXPECT_EQ(count(image, QRect(9, 59, 222, 150), [](QRgb p) { return !isBlack(p) && !isGrey(p); }), 0)
            << price;
    }
}

TEST(MarketFrameRenderer, ThirtySixCandlesFillTheChartWidth) {
    const QImage image =
        frame(snapshotOf("btc-usd", repeated(36, {0, 95, 115, 100, 110}), 0.8), "36-candles");
    // Bodies from y 96.25 to 172.75, about 3.58 pixels wide, 6.17 apart: 36 separate bars.
    EXPECT_EQ(runsInRow(image, 130, 0, 239, isGreen), 36);
    EXPECT_EQ(runsInRow(image, 80, 0, 239, isGreen), 36); // the wicks
    EXPECT_TRUE(isGreen(image.pixel(11, 130)));
    EXPECT_TRUE(isGreen(image.pixel(12, 130)));
    EXPECT_TRUE(isGreen(image.pixel(227, 130))); // the last is centred at x 227.9
    EXPECT_TRUE(isGreen(image.pixel(228, 130)));
    EXPECT_TRUE(isBlack(image.pixel(9, 130)));
    EXPECT_TRUE(isBlack(image.pixel(230, 130)));
}

TEST(MarketFrameRenderer, OneCandleTakesTheWholeStep) {
    // step 222, body 128.76 wide around x 120.
    const QImage image =
        frame(snapshotOf("cn-sh000300", repeated(1, {0, 90, 120, 100, 110}), 1), "one-candle");
    EXPECT_TRUE(isBlack(image.pixel(54, 150)));
    EXPECT_TRUE(isRed(image.pixel(57, 150)));
    EXPECT_TRUE(isRed(image.pixel(183, 150)));
    EXPECT_TRUE(isBlack(image.pixel(186, 150)));
}

TEST(MarketFrameRenderer, PriceFormatsByCurrency) {
    const struct {
        double price;
        const char* currency;
        const char* text;
    } cases[] = {
        {97234.5, "USD", "$97234.50"},
        {70500, "KRW", "₩70500"},
        {70500.5, "KRW", "₩70500"},
        {70501.5, "KRW", "₩70502"},
        {3312.454, "CNY", "¥3312.45"},
        {19865.2, "HKD", "HK$19865.20"},
        {1.5, "EUR", "1.50"},
        {1.005, "", "1.00"},
        {0.004, "USD", "$0.00"},
        {1234567.891, "USD", "$1234567.89"},
        {0, "USD", "--"},
        {-5, "CNY", "--"},
        {std::nan(""), "USD", "--"},
        {std::numeric_limits<double>::infinity(), "USD", "--"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MarketFrameRenderer::formatPrice(c.price, QString::fromUtf8(c.currency)),
                  QString::fromUtf8(c.text))
            << c.price << " " << c.currency;
}

TEST(MarketFrameRenderer, LongPricesAreNarrowedToEndBeforeTheChange) {
    const struct {
        const char* preset;
        double price;
        int cells; // characters of the price text
        bool narrowed;
    } cases[] = {
        {"us-AAPL", 97.5, 6, false},        {"btc-usd", 97234.5, 9, false},  {"hk-HSI", 19865.2, 11, true},
        {"hk-HSTECH", 123456.78, 12, true}, {"kr-KOSPI", 2650.37, 5, false},
    };
    for (const auto& c : cases) {
        MarketSnapshot s = snapshotOf(c.preset, {}, -0.25);
        s.price = c.price;
        const QImage image = frame(s, QString("price-%1").arg(c.preset));
        // The rows above the change hold the tops of the price's glyphs alone.
        const QRect tops = ink(image, QRect(8, 22, 232, 9));
        EXPECT_LE(tops.right(), 154) << c.preset;
        if (!c.narrowed) {
            EXPECT_NEAR(tops.right(), 8 + c.cells * 13.85, 4) << c.preset;
        }
        EXPECT_GT(ink(image, QRect(8, 22, 140, 28)).height(), 15) << c.preset; // still size 23
        EXPECT_EQ(count(image, changeBox, [](QRgb p) { return isVisible(p) && isGrey(p); }), 0) << c.preset;
    }
}

TEST(MarketFrameRenderer, HeaderShrinksForNamesOfNineCharacters) {
    const auto headerOf = [](const QString& name, const QString& png) {
        MarketSnapshot s = snapshotOf("us-AAPL");
        s.instrument.name = name;
        return ink(frame(s, png), headerBand);
    };
    // Eight characters keep size 10, nine get size 8: the longer header is the smaller one.
    const QRect eight = headerOf("ABCDEFGH", "header-latin-8");
    const QRect nine = headerOf("ABCDEFGHI", "header-latin-9");
    EXPECT_NEAR(eight.right(), 8 + 17 * 6.02, 6);
    EXPECT_NEAR(nine.right(), 8 + 18 * 4.82, 6);
    EXPECT_GT(eight.height(), nine.height());

    const QRect cjk = headerOf("纳斯达克综合", "header-cjk-6");
    const QRect cjkLong = headerOf("纳斯达克综合指数基", "header-cjk-9");
    EXPECT_GT(cjk.height(), cjkLong.height());
    EXPECT_GT(cjk.height(), 7);
}

TEST(MarketFrameRenderer, FooterAndEmptyChartTexts) {
    const auto footerOf = [](const char* source, bool stale, bool open, const QString& png) {
        MarketSnapshot s = snapshotOf("cn-sh000001");
        s.source = source;
        s.stale = stale;
        s.marketOpen = open;
        return frame(s, png);
    };
    const QImage live = footerOf("Coinbase", false, true, "footer-live");
    const QImage closed = footerOf("Tencent-DAY", false, false, "footer-closed");
    const QImage stale = footerOf("Naver", true, true, "footer-stale");
    // "COINBASE  LIVE" (14 cells) and "TENCENT-DAY  CLOSED" (19 cells) in grey; "NAVER  STALE" in red.
    EXPECT_NEAR(ink(live, footerBand).right(), 10 + 14 * 5.4, 5);
    EXPECT_NEAR(ink(closed, footerBand).right(), 10 + 19 * 5.4, 5);
    EXPECT_NEAR(ink(stale, footerBand).right(), 10 + 12 * 5.4, 5);
    EXPECT_NEAR(brightest(live, footerBand), 115, 2);
    EXPECT_EQ(count(live, footerBand, [](QRgb p) { return !isBlack(p) && !isGrey(p); }), 0);
    EXPECT_EQ(count(stale, footerBand, isOtherThanRed), 0);

    // Without candles: "NO INTRADAY DATA" (16 cells) when fresh, "WAITING FOR MARKET" (18) when stale.
    const QRect waitingBox(48, 130, 18 * 6, 12);
    EXPECT_NEAR(ink(live, waitingBox).right(), 48 + 16 * 5.4, 5);
    EXPECT_NEAR(ink(stale, waitingBox).right(), 48 + 18 * 5.4, 5);
}

TEST(MarketFrameRenderer, MarketScreensStayInsideTheirAreas) {
    // Random walks as a provider would deliver them.
    QRandomGenerator random(42);
    const auto walk = [&](double start, int count) {
        QList<MarketCandle> candles;
        double close = start;
        for (int i = 0; i < count; ++i) {
            const double open = close;
            close = open * (1 + (random.generateDouble() - 0.5) * 0.01);
            const double high = std::max(open, close) * (1 + random.generateDouble() * 0.003);
            const double low = std::min(open, close) * (1 - random.generateDouble() * 0.003);
            candles.append({1'780'000'000.0 + 300 * i, low, high, open, close});
        }
        return candles;
    };
    const struct {
        const char* preset;
        double start;
        double change;
        bool lineOnly;
    } screens[] = {
        {"btc-usd", 97234.5, 2.31, false}, {"cn-sh000001", 3312.45, -0.87, false},
        {"hk-HSI", 19865.2, 1.12, true},   {"us-IXIC", 18321.7, -1.05, false},
        {"kr-005930", 70500, 0.43, false}, {"cn-sh000300", 3900.12, 0.21, true},
    };
    for (const auto& s : screens) {
        MarketSnapshot snapshot = snapshotOf(s.preset, walk(s.start, 36), s.change);
        snapshot.lineOnly = s.lineOnly;
        snapshot.source = s.lineOnly ? "Tencent" : "Coinbase";
        const QImage image = frame(snapshot, QString("screen-%1").arg(s.preset));
        EXPECT_EQ(strayPixels(image, {headerBand, priceBand, changeBox, chartArea, footerBand}), 0)
            << s.preset;
        EXPECT_GT(count(image, chartArea, s.change < 0 ? isGreen : isRed) +
                      count(image, chartArea, s.change < 0 ? isRed : isGreen),
                  200)
            << s.preset;
    }
}

TEST(MarketFrameRenderer, AnySnapshotGivesAWholeFrame) {
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    QList<MarketSnapshot> snapshots;
    snapshots.append(MarketSnapshot{});
    MarketSnapshot odd = snapshotOf("kr-KOSDAQ", repeated(3, {0, nan, inf, 1, 2}), nan);
    odd.candles.append({900, 1, 3, 2, 2});
    odd.instrument.name.clear();
    odd.source.clear();
    odd.price = -inf;
    snapshots.append(odd);
    snapshots.append(snapshotOf("us-DJI", repeated(2, {0, -1e308, 1e308, -1e308, 1e308}), 1e300));
    snapshots.append(snapshotOf("us-DJI", repeated(2, {0, -1e308, 1e308, 1e308, -1e308}), -1e300));
    snapshots.append(snapshotOf("btc-usd", repeated(500, {0, 1, 2, 1, 2})));
    snapshots.append(snapshotOf("hk-HSTECH", repeated(4, {0, nan, nan, nan, nan})));
    int index = 0;
    for (const MarketSnapshot& s : snapshots) {
        const QImage image = frame(s, QString("odd-%1").arg(index++));
        EXPECT_EQ(MarketFrameRenderer::rgb565(s).size(), 115200);
        // Bodies at least 2 pixels wide may reach a pixel past the chart's sides; absurd prices
        // run into the change.
        EXPECT_EQ(strayPixels(image, {headerBand, QRect(8, 22, 232, 28), QRect(8, 58, 225, 156), footerBand}),
                  0)
            << index;
    }

    // A change that is not a number shows as no change, in the text and in the line's colour.
    MarketSnapshot line = snapshotOf("us-NDX", repeated(5, {0, 1, 3, 2, 2}), 0);
    line.candles[2].close = 1;
    line.lineOnly = true;
    const QImage zero = frame(line, "change-zero");
    line.change24h = nan;
    EXPECT_EQ(frame(line, "change-nan"), zero);
}

} // namespace
