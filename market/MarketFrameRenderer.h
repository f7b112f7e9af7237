#pragma once

#include "market/MarketSnapshot.h"

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QRectF>
#include <QString>

class QPainter;

namespace glimmet {

// Draws one market snapshot as the clock's 240 x 240 chart screen and converts it to the raw
// RGB565 frame. Stateless; safe on any thread once the GUI application exists.
struct MarketFrameRenderer {
    static constexpr int size = 240;
    // The chart: x 9 to 231, y 58 to 211.
    static constexpr double chartLeft = 9;
    static constexpr double chartTop = 58;
    static constexpr double chartWidth = 222;
    static constexpr double chartHeight = 153;

    // The palette of the clock's screen.
    static QColor red();
    static QColor green();
    static QColor darkGray(); // grey one third: the empty-chart text

    // Draws into `painter`; only the black background uses `rect`, every other position is an
    // absolute canvas coordinate.
    static void render(const MarketSnapshot& snapshot, QPainter& painter, const QRectF& rect);

    // A 240 x 240 premultiplied RGBA picture of the snapshot (also the PNG preview).
    static QImage bitmap(const MarketSnapshot& snapshot);

    // The picture as the clock's raw frame: 115 200 bytes of big-endian RGB565.
    static QByteArray rgb565(const MarketSnapshot& snapshot);

    // "--" for prices not above 0, else "$97234.50", "₩70500", "¥3312.45", "HK$19865.20" or a
    // bare "1.50" for other currencies.
    static QString formatPrice(double price, const QString& currency);

    // The source and status line ("COINBASE  LIVE", "  STALE") with its top at `y`.
    static void drawFooter(const MarketSnapshot& snapshot, QPainter& painter, double y);
};

} // namespace glimmet
