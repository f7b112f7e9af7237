#include "ui/MirrorView.h"

#include "common/ClockFont.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace glimmet {

namespace {

const QColor ringGreen = QColor::fromRgbF(0, 0.85f, 0.2f);
const QColor systemYellow(255, 204, 0);
const QColor systemRed(255, 59, 48);
const QColor offlineGrey(70, 70, 70);
const QColor trackGrey(34, 34, 34);
const QColor captionGrey(140, 140, 140);

constexpr double ringLength = 928; // the perimeter of the 232 x 232 square inset by 4
constexpr int ringWidth = 10;

// One opaque pixel from the clock's RGB565 (high byte first).
QRgb pixel565(unsigned char hi, unsigned char lo) {
    const unsigned value = (unsigned(hi) << 8) | lo;
    return qRgb(hi & 0xF8, (value >> 3) & 0xFC, (lo << 3) & 0xFF);
}

QImage imageFrom565(const char* data, int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    const auto* src = reinterpret_cast<const unsigned char*>(data);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x, src += 2)
            row[x] = pixel565(src[0], src[1]);
    }
    return image;
}

// Sizes the clock could report; anything else is not a bitmap we can draw.
bool plausibleSize(std::int64_t w, std::int64_t h) {
    return w > 0 && h > 0 && w <= 4096 && h <= 4096;
}

QColor levelColor(QuotaBorderLevel level) {
    switch (level) {
    case QuotaBorderLevel::red:
        return systemRed;
    case QuotaBorderLevel::yellow:
        return systemYellow;
    case QuotaBorderLevel::green:
        break;
    }
    return ringGreen;
}

// The border band from the top-left corner, clockwise, `length` pixels along its middle line.
QPainterPath ringPath(double length) {
    const QPointF corners[] = {{4, 4}, {236, 4}, {236, 236}, {4, 236}, {4, 4}};
    QPainterPath path(corners[0]);
    double left = std::clamp(length, 0.0, ringLength);
    for (int i = 1; i < 5 && left > 0; ++i) {
        const double step = std::min(left, 232.0);
        const QPointF direction = (corners[i] - corners[i - 1]) / 232.0;
        path.lineTo(corners[i - 1] + direction * step);
        left -= step;
    }
    return path;
}

void strokeRing(QPainter& p, const QPainterPath& path, const QColor& color) {
    p.setPen(QPen(color, ringWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);
}

void text(QPainter& p, const QRectF& rect, int size, const QColor& color, const QString& s,
          Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter, QFont::Weight weight = QFont::Normal) {
    p.setFont(clockFont(size, weight));
    p.setPen(color);
    p.drawText(rect, int(align), p.fontMetrics().elidedText(s, Qt::ElideRight, int(rect.width())));
}

QColor providerColor(const QString& provider) {
    if (provider == u"claude")
        return QColor(217, 119, 87);
    if (provider == u"codex")
        return QColor(120, 170, 255);
    if (provider == u"grok")
        return QColor(230, 230, 230);
    return QColor(90, 200, 250);
}

QString providerName(const QString& provider) {
    if (provider == u"claude")
        return QStringLiteral("Claude");
    if (provider == u"codex")
        return QStringLiteral("Codex");
    if (provider == u"grok")
        return QStringLiteral("Grok");
    return QStringLiteral("Kimi");
}

} // namespace

MirrorView::MirrorView(QWidget* parent)
    : QWidget(parent) {
    setFixedSize(288, 288);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void MirrorView::pushNetSample(double rx, double tx) {
    histRx.erase(histRx.begin());
    histRx.push_back(rx);
    histTx.erase(histTx.begin());
    histTx.push_back(tx);
    update();
}

void MirrorView::resetHistory() {
    histRx.assign(historyLength, 0.0);
    histTx.assign(historyLength, 0.0);
}

QImage MirrorView::renderScreen() const {
    QImage image(screenSize, screenSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    draw(painter);
    return image;
}

void MirrorView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.scale(width() / double(screenSize), height() / double(screenSize));
    draw(painter);
}

void MirrorView::draw(QPainter& p) const {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath screen;
    screen.addRoundedRect(QRectF(0, 0, screenSize, screenSize), 10, 10);
    p.setClipPath(screen);
    p.fillRect(QRectF(0, 0, screenSize, screenSize), Qt::black);
    if (ludicrousProgress)
        drawLudicrous(p, *ludicrousProgress);
    else if (btcMode) {
        if (btcFrame)
            p.drawImage(QRectF(0, 0, screenSize, screenSize), *btcFrame);
    } else if (netMode)
        drawNet(p);
    else if (musicMode)
        drawMusic(p);
    else
        drawAgent(p);
    p.restore();
}

void MirrorView::drawAgent(QPainter& p) const {
    strokeRing(p, ringPath(ringLength), trackGrey);
    const double filled = std::isfinite(ringPct) ? std::min(ringPct, 100.0) / 100.0 * ringLength : 0;
    if (filled > 0)
        strokeRing(p, ringPath(filled), deviceOK ? levelColor(ringLevel) : offlineGrey);

    // The provider's mark: a dot in its colour and its name.
    const QColor mark = providerColor(showingProvider);
    p.setPen(Qt::NoPen);
    p.setBrush(mark);
    p.drawEllipse(QRectF(20, 24, 12, 12));
    text(p, QRectF(38, 20, 90, 20), 14, mark, providerName(showingProvider), Qt::AlignLeft | Qt::AlignVCenter,
         QFont::Bold);
    text(p, QRectF(110, 16, 112, 30), 26, Qt::white, line1, Qt::AlignRight | Qt::AlignVCenter, QFont::Bold);

    if (!frames.isEmpty()) {
        const QImage& frame = frames.at(int(std::clamp<std::int64_t>(frameIdx, 0, frames.size() - 1)));
        QSizeF size(spriteW > 0 ? spriteW : frame.width(), spriteH > 0 ? spriteH : frame.height());
        size.scale(QSizeF(std::min(size.width(), 130.0), std::min(size.height(), 112.0)),
                   Qt::KeepAspectRatio);
        p.drawImage(QRectF(QPointF(120 - size.width() / 2, 108 - size.height() / 2), size), frame);
    }

    const bool captions = showingProvider == u"claude";
    const auto quotaRow = [&](double y, const QString& caption, const QString& value) {
        if (captions)
            text(p, QRectF(22, y, 80, 18), 12, captionGrey, caption);
        text(p, QRectF(captions ? 100 : 22, y, captions ? 118 : 196, 18), 15, Qt::white, value,
             captions ? Qt::AlignRight | Qt::AlignVCenter : Qt::AlignHCenter | Qt::AlignVCenter);
    };
    quotaRow(166, QStringLiteral("Weekly"), line2);
    if (!line3.isEmpty() || captions)
        quotaRow(186, QStringLiteral("Fable"), line3);
    text(p, QRectF(18, 206, 204, 16), 12, captionGrey, dailyLine, Qt::AlignHCenter | Qt::AlignVCenter);

    if (needsInput && flashOn)
        strokeRing(p, ringPath(ringLength), systemRed);
    if (!deviceOK)
        text(p, QRectF(0, 48, screenSize, 24), 20, systemRed, QStringLiteral("设备离线"), Qt::AlignCenter,
             QFont::Bold);
}

void MirrorView::drawNet(QPainter& p) const {
    const QColor rxColor(64, 200, 255), txColor(255, 150, 60);
    text(p, QRectF(12, 8, 50, 16), 12, captionGrey, QStringLiteral("DOWN"));
    text(p, QRectF(12, 22, 100, 24), 20, rxColor, netHeaderDL, Qt::AlignLeft | Qt::AlignVCenter, QFont::Bold);
    text(p, QRectF(128, 8, 100, 16), 12, captionGrey, QStringLiteral("UP"),
         Qt::AlignRight | Qt::AlignVCenter);
    text(p, QRectF(128, 22, 100, 24), 20, txColor, netHeaderUL, Qt::AlignRight | Qt::AlignVCenter,
         QFont::Bold);

    const QRectF graph(8, 54, historyLength, 110);
    double top = 10240;
    for (const auto* history : {&histRx, &histTx})
        for (double v : *history)
            if (std::isfinite(v))
                top = std::max(top, v * 1.15);
    p.setPen(QPen(QColor(40, 40, 40), 1));
    for (int i = 0; i <= 4; ++i)
        p.drawLine(QLineF(graph.left(), graph.top() + graph.height() * i / 4, graph.right(),
                          graph.top() + graph.height() * i / 4));
    const auto plot = [&](const std::vector<double>& history, const QColor& color) {
        QPainterPath path;
        for (std::size_t i = 0; i < history.size(); ++i) {
            const double v = std::isfinite(history[i]) ? std::clamp(history[i], 0.0, top) : 0.0;
            const QPointF point(graph.left() + double(i), graph.bottom() - v / top * graph.height());
            i == 0 ? path.moveTo(point) : path.lineTo(point);
        }
        p.setPen(QPen(color, 1.6));
        p.setBrush(Qt::NoBrush);
        p.drawPath(path);
    };
    plot(histTx, txColor);
    plot(histRx, rxColor);

    const auto bar = [&](double y, const QString& label, std::int64_t percent, const QColor& color) {
        text(p, QRectF(12, y, 40, 16), 12, captionGrey, label);
        const QRectF track(50, y + 4, 130, 8);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(40, 40, 40));
        p.drawRoundedRect(track, 3, 3);
        p.setBrush(color);
        p.drawRoundedRect(
            QRectF(track.topLeft(),
                   QSizeF(track.width() * std::clamp<std::int64_t>(percent, 0, 100) / 100, track.height())),
            3, 3);
        text(p, QRectF(186, y, 42, 16), 12, Qt::white, QString::number(percent) + u'%',
             Qt::AlignRight | Qt::AlignVCenter);
    };
    bar(174, QStringLiteral("CPU"), netCPU, QColor(120, 220, 120));
    bar(194, QStringLiteral("MEM"), netMem, QColor(200, 140, 255));
    text(p, QRectF(0, 216, screenSize, 16), 11, captionGrey, QStringLiteral("MAC NET  -  56s"),
         Qt::AlignCenter);
}

void MirrorView::drawMusic(QPainter& p) const {
    const QRectF coverRect(56, 16, 128, 128);
    if (musicCover)
        p.drawImage(coverRect, *musicCover);
    else {
        p.fillRect(coverRect, QColor(51, 51, 51));
        text(p, coverRect, 14, QColor(190, 190, 190), QStringLiteral("No Art"), Qt::AlignCenter);
    }
    text(p, QRectF(12, 154, 216, 24), 15, Qt::white,
         musicTitle.isEmpty() ? QStringLiteral("No Music") : musicTitle, Qt::AlignCenter, QFont::Bold);
    text(p, QRectF(12, 178, 216, 20), 12, captionGrey, musicArtist, Qt::AlignCenter);
    const QRectF track(20, 210, 200, 8);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(48, 48, 48));
    p.drawRoundedRect(track, 4, 4);
    const double fraction = musicDuration > 0 && std::isfinite(musicElapsed)
                                ? std::clamp(musicElapsed / musicDuration, 0.0, 1.0)
                                : 0.0;
    p.setBrush(musicPlaying ? ringGreen : QColor(128, 128, 128));
    p.drawRoundedRect(QRectF(track.topLeft(), QSizeF(track.width() * fraction, track.height())), 4, 4);
}

// Fast mode: streaks rush past while the caption slides in and out.
void MirrorView::drawLudicrous(QPainter& p, double progress) const {
    const double t = std::clamp(progress, 0.0, 1.0);
    for (int i = 0; i < 18; ++i) {
        const double y = 14 + i * 12.5;
        const double speed = 1.0 + (i * 7 % 5) * 0.35;
        const double x = std::fmod(i * 53.0 + t * 900 * speed, 360.0) - 120;
        QLinearGradient streak(x, y, x + 110, y);
        streak.setColorAt(0, QColor(255, 255, 255, 0));
        streak.setColorAt(1, i % 3 == 0 ? QColor(255, 80, 200) : QColor(120, 220, 255));
        p.setPen(QPen(QBrush(streak), i % 3 == 0 ? 3 : 2));
        p.drawLine(QLineF(x, y, x + 110, y));
    }
    const double slide = t < 0.15 ? (0.15 - t) / 0.15 : t > 0.85 ? -(t - 0.85) / 0.15 : 0;
    const QRectF caption(slide * screenSize, 104, screenSize, 32);
    p.fillRect(QRectF(0, 102, screenSize, 36), QColor(0, 0, 0, 170));
    text(p, caption, 24, systemYellow, QStringLiteral("LUDICROUS  +"), Qt::AlignCenter, QFont::Black);
}

QList<QImage> MirrorView::decodeSpriteFrames(const QByteArray& data, std::int64_t w, std::int64_t h) {
    if (data.isEmpty() || !plausibleSize(w, h))
        return {};
    const std::int64_t count = static_cast<unsigned char>(data.at(0));
    const std::int64_t frameBytes = w * h * 2;
    if (count * frameBytes >= data.size())
        return {};
    QList<QImage> frames;
    for (std::int64_t i = 0; i < count; ++i)
        frames.append(imageFrom565(data.constData() + 1 + i * frameBytes, int(w), int(h)));
    return frames;
}

std::optional<QImage> MirrorView::decodeCover(const QByteArray& data, std::int64_t w, std::int64_t h) {
    if (!plausibleSize(w, h) || data.size() < w * h * 2)
        return std::nullopt;
    return imageFrom565(data.constData(), int(w), int(h));
}

} // namespace glimmet
