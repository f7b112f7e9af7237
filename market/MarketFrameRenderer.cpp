#include "market/MarketFrameRenderer.h"

#include "common/ClockFont.h"
#include "common/Rgb565.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace glimmet {

namespace {

constexpr double chartBottom = MarketFrameRenderer::chartTop + MarketFrameRenderer::chartHeight;
constexpr double footerTop = 220;
constexpr double priceRoom = 158 - 8 - 4; // from the price's left edge to a gap before the change

// `value` with `decimals` digits after the point, rounded as C's "%.*f" rounds, whatever the
// process locale.
QString fixed(double value, int decimals) {
    char buffer[400]; // the largest double has 309 digits before the point
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return QString::fromLatin1(buffer, result.ptr - buffer);
}

QColor grey(double level) {
    return QColor::fromRgbF(float(level), float(level), float(level));
}

// Draws `text` with the top of its line box at `topLeft`.
void drawText(QPainter& painter, QPointF topLeft, const QString& text, const QFont& font,
              const QColor& color) {
    painter.setFont(font);
    painter.setPen(color);
    painter.drawText(QPointF(topLeft.x(), topLeft.y() + QFontMetricsF(font).ascent()), text);
}

// Chinese, Hong Kong and Korean markets show a rise in red; crypto and US markets in green.
QColor trendColor(MarketRegion region, bool rising) {
    const bool redRises =
        region == MarketRegion::cn || region == MarketRegion::hk || region == MarketRegion::kr;
    return rising == redRises ? MarketFrameRenderer::red() : MarketFrameRenderer::green();
}

// A change that is not a number reads as no change, like a change against no reference.
double shownChange(const MarketSnapshot& snapshot) {
    return std::isfinite(snapshot.change24h) ? snapshot.change24h : 0;
}

bool isFinite(const MarketCandle& c) {
    return std::isfinite(c.low) && std::isfinite(c.high) && std::isfinite(c.open) && std::isfinite(c.close);
}

void drawChart(const MarketSnapshot& snapshot, const QList<MarketCandle>& candles, QPainter& painter) {
    double lo = candles.front().low;
    double hi = candles.front().high;
    for (const MarketCandle& c : candles) {
        lo = std::min(lo, c.low);
        hi = std::max(hi, c.high);
    }
    const double floor = std::abs(hi) <= 1 ? 0.0001 : std::abs(hi) * 0.0001;
    const double span = std::max(hi - lo, floor);
    const auto y = [&](double price) {
        const double value = chartBottom - (price - lo) / span * MarketFrameRenderer::chartHeight;
        return std::isfinite(value) ? value : chartBottom; // a span beyond the double range
    };
    const double step = MarketFrameRenderer::chartWidth / double(candles.size());
    const auto x = [&](qsizetype i) { return MarketFrameRenderer::chartLeft + step * (double(i) + 0.5); };
    const MarketRegion region = snapshot.instrument.region;

    if (snapshot.lineOnly) {
        QPainterPath path(QPointF(x(0), y(candles.front().close)));
        for (qsizetype i = 1; i < candles.size(); ++i)
            path.lineTo(x(i), y(candles[i].close));
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(trendColor(region, shownChange(snapshot) >= 0), 2, Qt::SolidLine, Qt::RoundCap,
                            Qt::RoundJoin));
        painter.drawPath(path);
        return;
    }

    const double bodyWidth = std::max(step * 0.58, 2.0);
    for (qsizetype i = 0; i < candles.size(); ++i) {
        const MarketCandle& c = candles[i];
        const QColor color = trendColor(region, c.open <= c.close);
        painter.setPen(QPen(color, 1, Qt::SolidLine, Qt::FlatCap));
        painter.drawLine(QPointF(x(i), y(c.low)), QPointF(x(i), y(c.high)));
        const double top = y(std::max(c.open, c.close));
        const double bottom = y(std::min(c.open, c.close));
        painter.fillRect(QRectF(x(i) - bodyWidth / 2, top, bodyWidth, std::max(bottom - top, 2.0)), color);
    }
}

} // namespace

QColor MarketFrameRenderer::red() {
    return QColor(255, 59, 48);
}
QColor MarketFrameRenderer::green() {
    return QColor(52, 199, 89);
}
QColor MarketFrameRenderer::darkGray() {
    return grey(1.0 / 3.0);
}

void MarketFrameRenderer::render(const MarketSnapshot& snapshot, QPainter& painter, const QRectF& rect) {
    painter.save();
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter.fillRect(rect, Qt::black);

    const MarketInstrument& instrument = snapshot.instrument;
    const int headerSize = userCharacters(instrument.name).size() < 9 ? 10 : 8;
    drawText(painter, {8, 8},
             instrument.name + QStringLiteral("  ") + instrument.symbol + QStringLiteral("  ") +
                 rawValue(snapshot.interval),
             clockFont(headerSize, QFont::DemiBold), grey(0.72));
    // A long price ("HK$19865.20") is narrowed so that it ends before the change figure.
    const QString price = formatPrice(snapshot.price, instrument.currency);
    QFont priceFont = clockFont(23, QFont::Bold);
    const double priceWidth = QFontMetricsF(priceFont).horizontalAdvance(price);
    if (priceWidth > priceRoom)
        priceFont.setStretch(std::max(50, int(std::floor(100 * priceRoom / priceWidth))));
    drawText(painter, {8, 22}, price, priceFont, Qt::white);
    const double change = shownChange(snapshot);
    const bool rising = change >= 0;
    drawText(painter, {158, 31}, (rising ? QStringLiteral("+") : QString()) + fixed(change, 2) + u'%',
             clockFont(10, QFont::DemiBold), trendColor(instrument.region, rising));

    for (int k = 0; k <= 3; ++k)
        painter.fillRect(QRectF(chartLeft, chartTop + chartHeight * k / 3, chartWidth, 1), grey(0.12));

    // Bars a provider could not fill with numbers are left out rather than drawn anywhere.
    QList<MarketCandle> candles;
    std::ranges::copy_if(snapshot.candles, std::back_inserter(candles), isFinite);
    if (candles.isEmpty()) {
        drawText(painter, {48, 130},
                 snapshot.stale ? QStringLiteral("WAITING FOR MARKET") : QStringLiteral("NO INTRADAY DATA"),
                 clockFont(9, QFont::Medium), darkGray());
    } else {
        drawChart(snapshot, candles, painter);
    }
    drawFooter(snapshot, painter, footerTop);
    painter.restore();
}

QImage MarketFrameRenderer::bitmap(const MarketSnapshot& snapshot) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return image;
    QPainter painter(&image);
    render(snapshot, painter, QRectF(0, 0, size, size));
    painter.end();
    return image;
}

QByteArray MarketFrameRenderer::rgb565(const MarketSnapshot& snapshot) {
    return toRgb565(bitmap(snapshot));
}

QString MarketFrameRenderer::formatPrice(double price, const QString& currency) {
    if (!(price > 0) || !std::isfinite(price))
        return QStringLiteral("--");
    if (currency == u"USD")
        return u'$' + fixed(price, 2);
    if (currency == u"KRW")
        return u'\u20A9' + fixed(price, 0);
    if (currency == u"CNY")
        return u'\u00A5' + fixed(price, 2);
    if (currency == u"HKD")
        return QStringLiteral("HK$") + fixed(price, 2);
    return fixed(price, 2);
}

void MarketFrameRenderer::drawFooter(const MarketSnapshot& snapshot, QPainter& painter, double y) {
    const QString status = snapshot.stale        ? QStringLiteral("STALE")
                           : snapshot.marketOpen ? QStringLiteral("LIVE")
                                                 : QStringLiteral("CLOSED");
    drawText(painter, {10, y}, snapshot.source.toUpper() + QStringLiteral("  ") + status,
             clockFont(9, QFont::Medium), snapshot.stale ? red() : grey(0.45));
}

} // namespace glimmet
