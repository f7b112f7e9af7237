#include "monitors/NowPlayingMonitor.h"

#include "common/ClockFont.h"
#include "common/Rgb565.h"
#include "common/SerialQueue.h"

#include <QBuffer>
#include <QFont>
#include <QFontMetricsF>
#include <QHashFunctions>
#include <QImageReader>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace glimmet {

namespace {

double nonNegativeSeconds(double value) {
    return std::isfinite(value) && value > 0 ? value : 0.0;
}

// Any 64-bit hash that is stable within the process; 0 is kept for "no artwork".
std::uint64_t artworkHash(const QByteArray& bytes) {
    if (bytes.isEmpty())
        return 0;
    const std::uint64_t hash = qHash(QByteArrayView(bytes), size_t(0));
    return hash == 0 ? 1 : hash;
}

QString textKey(const QString& title, const QString& artist) {
    return title + u'\n' + artist;
}

void drawLine(QPainter& painter, const QRect& rect, const QFont& font, const QColor& colour, QString text) {
    text.replace(u'\n', u' ').replace(u'\r', u' ');
    painter.setFont(font);
    painter.setPen(colour);
    const QString shown = QFontMetricsF(font).elidedText(text, Qt::ElideRight, rect.width());
    painter.drawText(rect, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, shown);
}

NowPlayingMonitor::Snapshot advancedTo(NowPlayingMonitor::Snapshot snapshot, double now) {
    if (snapshot.playing && snapshot.duration > 0)
        snapshot.elapsed =
            std::max(0.0, std::min(snapshot.elapsed + (now - snapshot.updatedAt), snapshot.duration));
    return snapshot;
}

} // namespace

NowPlayingMonitor::NowPlayingMonitor(std::shared_ptr<NowPlayingSource> source,
                                     std::shared_ptr<const Clock> clock)
    : source(std::move(source))
    , clock(std::move(clock)) {
    _snapshot.updatedAt = this->clock->now();
}

NowPlayingMonitor::~NowPlayingMonitor() = default;

void NowPlayingMonitor::start() {
    timer = std::make_unique<QTimer>();
    timer->setInterval(pollIntervalMs);
    QObject::connect(timer.get(), &QTimer::timeout, [weak = weak_from_this()] {
        if (const auto monitor = weak.lock())
            monitor->tick();
    });
    started = true;
}

bool NowPlayingMonitor::polling() const {
    return timer && timer->isActive();
}

void NowPlayingMonitor::noteRead() {
    if (!started || !demand.read(clock->now()))
        return;
    runOnMain([weak = weak_from_this()] {
        if (const auto monitor = weak.lock()) {
            monitor->poll();
            monitor->timer->start();
        }
    });
}

void NowPlayingMonitor::tick() {
    if (demand.wanted(clock->now()))
        poll();
    else
        timer->stop();
}

void NowPlayingMonitor::poll() {
    std::uint64_t knownHash = 0;
    {
        std::lock_guard guard(lock);
        if (helperRunning)
            return;
        helperRunning = true;
        knownHash = lastArtworkHash;
    }
    // The task holds the source, not the monitor: the monitor is only touched back on the
    // main thread, and only while it still exists.
    QThreadPool::globalInstance()->start([weak = weak_from_this(), source = source, knownHash] {
        std::optional<Prepared> prepared;
        if (auto info = source->probe())
            prepared = prepare(std::move(*info), knownHash);
        runOnMain([weak, prepared = std::move(prepared)]() mutable {
            const auto monitor = weak.lock();
            if (!monitor)
                return;
            if (prepared)
                monitor->applyPrepared(std::move(*prepared));
            std::lock_guard guard(monitor->lock);
            monitor->helperRunning = false;
        });
    });
}

void NowPlayingMonitor::apply(const NowPlayingInfo& info) {
    std::uint64_t knownHash = 0;
    {
        std::lock_guard guard(lock);
        knownHash = lastArtworkHash;
    }
    applyPrepared(prepare(info, knownHash));
}

NowPlayingMonitor::Prepared NowPlayingMonitor::prepare(NowPlayingInfo info, std::uint64_t knownHash) {
    Prepared prepared;
    prepared.artworkHash = artworkHash(info.artwork);
    if (prepared.artworkHash != 0 && prepared.artworkHash != knownHash)
        prepared.cover = makeCoverRGB565(info.artwork);
    info.artwork.clear();
    prepared.info = std::move(info);
    return prepared;
}

void NowPlayingMonitor::applyPrepared(Prepared prepared) {
    const NowPlayingInfo& info = prepared.info;
    Snapshot next;
    next.title = info.title.trimmed();
    next.artist = info.artist.trimmed();
    next.album = info.album.trimmed();
    next.playing = info.playing && !next.title.isEmpty();
    next.duration = nonNegativeSeconds(info.duration);
    next.elapsed = nonNegativeSeconds(info.elapsed);
    if (next.duration > 0)
        next.elapsed = std::min(next.elapsed, next.duration);
    next.updatedAt = clock->now();

    std::lock_guard guard(lock);
    if (ignoresTransient(next))
        return;
    next.artworkRev = _snapshot.artworkRev;
    if (prepared.artworkHash == 0 && lastArtworkHash != 0) {
        _coverRGB565.clear();
        lastArtworkHash = 0;
        ++next.artworkRev;
    } else if (prepared.artworkHash != 0 && prepared.artworkHash != lastArtworkHash &&
               !prepared.cover.isEmpty()) {
        // Artwork that does not decode leaves the previous cover in place.
        _coverRGB565 = std::move(prepared.cover);
        lastArtworkHash = prepared.artworkHash;
        ++next.artworkRev;
    }
    _snapshot = std::move(next);
}

// Called with the lock held. A known track survives two consecutive empty results and four
// thin ones (a title alone, or an artist or duration without a title), so that a player
// that briefly reports nothing between tracks does not make the display flicker.
bool NowPlayingMonitor::ignoresTransient(const Snapshot& next) {
    const bool complete =
        !next.title.isEmpty() && (!next.artist.isEmpty() || !next.album.isEmpty() || next.duration > 0);
    if (complete) {
        emptyStreak = 0;
        return false;
    }
    const bool fullyEmpty = next.title.isEmpty() && next.artist.isEmpty() && next.duration <= 0;
    const std::int64_t streak = ++emptyStreak;
    if (_snapshot.title.isEmpty())
        return false;
    if (fullyEmpty)
        return streak < emptyStreakToClear;
    return !_snapshot.artist.isEmpty() && streak < thinStreakToReplace;
}

NowPlayingMonitor::Snapshot NowPlayingMonitor::snapshot() {
    noteRead();
    Snapshot current;
    {
        std::lock_guard guard(lock);
        current = _snapshot;
    }
    return advancedTo(std::move(current), clock->now());
}

QByteArray NowPlayingMonitor::jsonData() {
    noteRead();
    renderTextIfNeeded();
    Snapshot current;
    bool hasArtwork = false;
    std::int64_t currentTextRev = 0;
    {
        std::lock_guard guard(lock);
        current = _snapshot;
        hasArtwork = !_coverRGB565.isEmpty();
        currentTextRev = textRev;
    }
    current = advancedTo(std::move(current), clock->now());
    const QJsonValue progress = current.duration > 0
                                    ? QJsonValue(std::clamp(current.elapsed / current.duration, 0.0, 1.0))
                                    : QJsonValue(0);
    const QJsonObject document{
        {QStringLiteral("title"), current.title},
        {QStringLiteral("artist"), current.artist},
        {QStringLiteral("album"), current.album},
        {QStringLiteral("playing"), current.playing},
        {QStringLiteral("elapsed"), qint64(std::llround(current.elapsed))},
        {QStringLiteral("duration"), qint64(std::llround(current.duration))},
        {QStringLiteral("progress"), progress},
        {QStringLiteral("artwork_rev"), qint64(current.artworkRev)},
        {QStringLiteral("has_artwork"), hasArtwork},
        {QStringLiteral("text_rev"), qint64(currentTextRev)},
    };
    return QJsonDocument(document).toJson(QJsonDocument::Compact);
}

QByteArray NowPlayingMonitor::coverRGB565() {
    noteRead();
    std::lock_guard guard(lock);
    return _coverRGB565;
}

QByteArray NowPlayingMonitor::textRGB565() {
    noteRead();
    std::lock_guard guard(lock);
    return _textRGB565;
}

void NowPlayingMonitor::renderTextIfNeeded() {
    QString title;
    QString artist;
    {
        std::lock_guard guard(lock);
        if (lastTextKey == textKey(_snapshot.title, _snapshot.artist))
            return;
        title = _snapshot.title;
        artist = _snapshot.artist;
    }
    const QString key = textKey(title, artist);
    const QByteArray strip = toRgb565(renderTextStrip(title, artist));
    std::lock_guard guard(lock);
    // Two readers may render at once; only a strip of the current track is stored.
    if (lastTextKey == key || textKey(_snapshot.title, _snapshot.artist) != key)
        return;
    lastTextKey = key;
    _textRGB565 = strip;
    ++textRev;
}

QByteArray NowPlayingMonitor::makeCoverRGB565(const QByteArray& imageBytes) {
    QBuffer buffer;
    buffer.setData(imageBytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QImage image = reader.read();
    if (image.isNull() || image.width() <= 0 || image.height() <= 0)
        return {};
    // Aspect fill: the shorter side fits and the longer one overflows equally on both ends.
    // Only the visible part of the source is scaled, so a long thin image costs no more than
    // a square one.
    const double scale = std::max(double(coverW) / image.width(), double(coverH) / image.height());
    const double visibleW = coverW / scale;
    const double visibleH = coverH / scale;
    const QRect visible(int(std::lround((image.width() - visibleW) / 2)),
                        int(std::lround((image.height() - visibleH) / 2)),
                        std::max(1, int(std::lround(visibleW))), std::max(1, int(std::lround(visibleH))));
    const QImage scaled =
        image.copy(visible).scaled(coverW, coverH, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage cover(coverW, coverH, QImage::Format_RGB32);
    cover.fill(Qt::black);
    QPainter painter(&cover);
    painter.drawImage(QPoint(0, 0), scaled);
    painter.end();
    return toRgb565(cover);
}

QImage NowPlayingMonitor::renderTextStrip(const QString& title, const QString& artist) {
    QImage strip(textW, textH, QImage::Format_RGB32);
    strip.fill(Qt::black);
    QPainter painter(&strip);
    painter.setRenderHint(QPainter::TextAntialiasing);
    // Rows counted from the top: the title line takes rows 3-24, the artist line 27-42.
    const QRect titleRect(2, 3, 228, 22);
    const QRect artistRect(2, 27, 228, 16);
    const QFont titleFont = clockFont(16, QFont::DemiBold);
    if (title.isEmpty())
        drawLine(painter, titleRect, titleFont, QColor(128, 128, 128), QStringLiteral("No Music"));
    else
        drawLine(painter, titleRect, titleFont, Qt::white, title);
    drawLine(painter, artistRect, clockFont(12, QFont::Normal), QColor(184, 184, 184), artist);
    painter.end();
    return strip;
}

} // namespace glimmet
