#include "market/MarketMonitor.h"

#include "common/Settings.h"
#include "market/MarketFrameCodec.h"
#include "market/MarketFrameRenderer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUuid>
#include <QtEndian>

#include <algorithm>

namespace glimmet {

namespace {

std::optional<MarketInstrument> resolve(const QString& id) {
    if (auto preset = MarketInstrument::preset(id))
        return preset;
    return MarketInstrument::parse(id);
}

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The "/btc" document of `s` with the given staleness.
QByteArray marketDocument(const MarketSnapshot& s, bool stale) {
    QJsonArray candles;
    for (const MarketCandle& c : s.candles)
        candles.append(QJsonArray{c.time, c.open, c.high, c.low, c.close});
    return compact({{"pair", s.instrument.symbol},
                    {"market", rawValue(s.instrument.region)},
                    {"name", s.instrument.name},
                    {"currency", s.instrument.currency},
                    {"interval", rawValue(s.interval)},
                    {"price", s.price},
                    {"change_24h", s.change24h},
                    {"source", s.source},
                    {"stale", stale},
                    {"market_open", s.marketOpen},
                    {"line_only", s.lineOnly},
                    {"updated_at", s.updatedAt ? QJsonValue(*s.updatedAt) : QJsonValue(0)},
                    {"candles", candles}});
}

} // namespace

MarketMonitor::MarketMonitor(std::shared_ptr<const Clock> clock, Fetcher fetcher, bool persistChoices)
    : clock(std::move(clock))
    , fetcher(std::move(fetcher))
    , persistChoices(persistChoices) {
    value = MarketSnapshot::waiting(*MarketInstrument::preset(QStringLiteral("btc-usd")),
                                    MarketInterval::fiveMinutes);
    _frameSession = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();

    QStringList ids = Settings::stringList(QLatin1String(favoriteIdsKey));
    if (ids.isEmpty() || ids == MarketInstrument::legacyDefaultFavorites()) {
        ids.clear();
        for (const MarketInstrument& favorite : MarketInstrument::defaultFavorites())
            ids.append(favorite.id);
    }
    for (const QString& id : std::as_const(ids)) {
        if (const auto instrument = resolve(id); instrument && _favoriteItems.size() < maxFavorites)
            _favoriteItems.append(*instrument);
    }
    if (_favoriteItems.isEmpty())
        _favoriteItems = MarketInstrument::defaultFavorites();
    if (const auto id = Settings::string(QLatin1String(instrumentIdKey)))
        value.instrument = resolve(*id).value_or(value.instrument);
    if (const auto raw = Settings::string(QLatin1String(intervalKey)))
        value.interval = marketIntervalFromRaw(*raw).value_or(value.interval);
    if (const auto raw = Settings::string(QLatin1String(refreshIntervalKey)))
        _refreshInterval = marketRefreshIntervalFromRaw(*raw).value_or(_refreshInterval);
    _requestedInstrument = value.instrument;
    _requestedInterval = value.interval;

    cachedFrame = MarketFrameRenderer::rgb565(value);
    cachedFrameKey = frameKey(value);
    _cachedPackedFrame = MarketFrameCodec::envelope(MarketFrameCodec::packRGB565(cachedFrame), _frameVersion);
    cachedEnvelope = makeFrameEnvelope(cachedFrame, _frameVersion);
    cachedJson[0] = marketDocument(value, false);
    cachedJson[1] = marketDocument(value, true);
    cachedVersionJson = versionDocumentLocked();
    const QString key = cacheKey(value.instrument, value.interval);
    snapshotCache.insert(key, value);
    frameCache.insert(key, cachedFrame);
    rotationIndex = std::max<qsizetype>(0, _favoriteItems.indexOf(value.instrument));
}

MarketMonitor::~MarketMonitor() = default;

void MarketMonitor::start() {
    if (!started.exchange(true))
        noteRead(); // the cadence starts as for a read
}

void MarketMonitor::noteRead() {
    if (!started || !demand.read(clock->now()))
        return;
    queue.async([weak = weak_from_this()] {
        if (const auto self = weak.lock())
            self->scheduleTimer(self->refreshInterval());
    });
    queueRequestForCurrent();
}

void MarketMonitor::timerTick() {
    if (demand.wanted(clock->now()))
        cadenceTick();
    else
        timer->stop();
}

void MarketMonitor::scheduleTimer(MarketRefreshInterval refresh) {
    if (!timer) {
        timer = new QTimer(queue.context());
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, [weak = weak_from_this()] {
            if (const auto self = weak.lock())
                self->timerTick();
        });
    }
    timer->start(seconds(refresh) * 1000);
}

void MarketMonitor::queueRequestForCurrent() {
    queue.async([weak = weak_from_this()] {
        if (const auto self = weak.lock())
            self->request(self->requestedInstrument(), self->requestedInterval());
    });
}

void MarketMonitor::setInstrument(const MarketInstrument& instrument) {
    std::optional<MarketSnapshot> snapshot;
    QByteArray frame;
    MarketInterval interval;
    {
        std::scoped_lock guard(lock);
        _requestedInstrument = instrument;
        interval = _requestedInterval;
        const QString key = cacheKey(instrument, interval);
        if (snapshotCache.contains(key) && frameCache.contains(key)) {
            snapshot = snapshotCache.value(key);
            frame = frameCache.value(key);
        }
        if (const qsizetype index = _favoriteItems.indexOf(instrument); index >= 0)
            rotationIndex = index;
    }
    store(instrumentIdKey, instrument.id);
    if (snapshot)
        activate(*snapshot, frame);
    request(instrument, interval);
}

void MarketMonitor::setInterval(MarketInterval interval) {
    std::optional<MarketSnapshot> snapshot;
    QByteArray frame;
    MarketInstrument instrument;
    {
        std::scoped_lock guard(lock);
        _requestedInterval = interval;
        instrument = _requestedInstrument;
        const QString key = cacheKey(instrument, interval);
        if (snapshotCache.contains(key) && frameCache.contains(key)) {
            snapshot = snapshotCache.value(key);
            frame = frameCache.value(key);
        }
    }
    store(intervalKey, rawValue(interval));
    if (snapshot)
        activate(*snapshot, frame);
    request(instrument, interval);
}

void MarketMonitor::setRefreshInterval(MarketRefreshInterval refreshInterval) {
    {
        std::scoped_lock guard(lock);
        _refreshInterval = refreshInterval;
    }
    store(refreshIntervalKey, rawValue(refreshInterval));
    queue.async([weak = weak_from_this(), refreshInterval] {
        if (const auto self = weak.lock(); self && self->timer && self->timer->isActive())
            self->scheduleTimer(refreshInterval);
    });
    queueRequestForCurrent();
}

bool MarketMonitor::addFavorite(const MarketInstrument& instrument) {
    QStringList ids;
    {
        std::scoped_lock guard(lock);
        if (const qsizetype index = _favoriteItems.indexOf(instrument); index >= 0) {
            rotationIndex = index;
            return true;
        }
        if (_favoriteItems.size() >= maxFavorites)
            return false;
        rotationIndex = _favoriteItems.size();
        _favoriteItems.append(instrument);
        for (const MarketInstrument& favorite : std::as_const(_favoriteItems))
            ids.append(favorite.id);
    }
    store(favoriteIdsKey, ids);
    return true;
}

bool MarketMonitor::isStale(const MarketSnapshot& snapshot, MarketRefreshInterval refresh) const {
    if (!snapshot.updatedAt)
        return snapshot.stale;
    const double limit = std::max(2.0 * seconds(refresh), 120.0);
    return clock->now() - *snapshot.updatedAt > limit;
}

MarketSnapshot MarketMonitor::snapshot() {
    noteRead();
    MarketSnapshot copy;
    MarketRefreshInterval refresh;
    {
        std::scoped_lock guard(lock);
        copy = value;
        refresh = _refreshInterval;
    }
    copy.stale = isStale(copy, refresh);
    return copy;
}

QByteArray MarketMonitor::frameRGB565() {
    const MarketSnapshot shown = snapshot();
    const QString key = frameKey(shown);
    {
        std::scoped_lock guard(lock);
        if (!cachedFrame.isEmpty() && cachedFrameKey == key)
            return cachedFrame;
        if (!displayFrame.isEmpty() && displayFrameKey == key)
            return displayFrame;
    }
    const QByteArray frame = MarketFrameRenderer::rgb565(shown);
    std::scoped_lock guard(lock);
    displayFrame = frame;
    displayFrameKey = key;
    return frame;
}

QByteArray MarketMonitor::frameEnvelope() {
    noteRead();
    std::scoped_lock guard(lock);
    return cachedEnvelope;
}

QByteArray MarketMonitor::cachedPackedFrame() {
    noteRead();
    std::scoped_lock guard(lock);
    return _cachedPackedFrame;
}

QByteArray MarketMonitor::frameVersionJSON() {
    noteRead();
    std::scoped_lock guard(lock);
    return cachedVersionJson;
}

QByteArray MarketMonitor::jsonData() {
    noteRead();
    std::scoped_lock guard(lock);
    return cachedJson[isStale(value, _refreshInterval) ? 1 : 0];
}

QList<MarketInstrument> MarketMonitor::favoriteItems() const {
    std::scoped_lock guard(lock);
    return _favoriteItems;
}

MarketInstrument MarketMonitor::requestedInstrument() const {
    std::scoped_lock guard(lock);
    return _requestedInstrument;
}

MarketInterval MarketMonitor::requestedInterval() const {
    std::scoped_lock guard(lock);
    return _requestedInterval;
}

MarketRefreshInterval MarketMonitor::refreshInterval() const {
    std::scoped_lock guard(lock);
    return _refreshInterval;
}

std::uint64_t MarketMonitor::frameVersion() const {
    std::scoped_lock guard(lock);
    return _frameVersion;
}

QString MarketMonitor::frameSession() const {
    return _frameSession; // set once by the constructor
}

void MarketMonitor::cadenceTick() {
    bool rotating;
    {
        std::scoped_lock guard(lock);
        rotating = _favoriteItems.size() >= 2;
    }
    if (rotating)
        rotateFavoriteIfReady();
    else
        request(requestedInstrument(), requestedInterval());
}

void MarketMonitor::rotateFavoriteIfReady() {
    std::optional<MarketInstrument> next;
    MarketInstrument current;
    MarketInterval interval;
    {
        std::scoped_lock guard(lock);
        const qsizetype n = _favoriteItems.size();
        if (n < 2)
            return;
        current = _requestedInstrument;
        interval = _requestedInterval;
        for (qsizetype offset = 1; offset < n; ++offset) {
            const qsizetype index = (rotationIndex + offset) % n;
            const QString key = cacheKey(_favoriteItems[index], interval);
            if (snapshotCache.contains(key) && frameCache.contains(key)) {
                next = _favoriteItems[index];
                rotationIndex = index;
                break;
            }
        }
    }
    if (next)
        return setInstrument(*next);
    request(current, interval);
    prefetchNext();
}

void MarketMonitor::prefetchNext() {
    std::optional<MarketInstrument> candidate;
    MarketInterval interval;
    {
        std::scoped_lock guard(lock);
        const qsizetype n = _favoriteItems.size();
        if (n < 2)
            return;
        const double now = clock->now();
        interval = _requestedInterval;
        for (qsizetype offset = 1; offset < n; ++offset) {
            const MarketInstrument& favorite = _favoriteItems[(rotationIndex + offset) % n];
            const QString key = cacheKey(favorite, interval);
            if ((snapshotCache.contains(key) && frameCache.contains(key)) || inFlightKeys.contains(key))
                return;
            if (now < retryAfter.value(key, 0))
                continue;
            candidate = favorite;
            break;
        }
    }
    if (candidate)
        request(*candidate, interval);
}

void MarketMonitor::request(const MarketInstrument& instrument, MarketInterval interval) {
    const QString key = cacheKey(instrument, interval);
    bool current, inFlight;
    {
        std::scoped_lock guard(lock);
        current = _requestedInstrument.id == instrument.id && _requestedInterval == interval;
        inFlight = inFlightKeys.contains(key);
        inFlightKeys.insert(key);
    }
    if (current)
        prefetchNext();
    if (inFlight)
        return;
    fetcher(instrument, interval, MarketFetchContext{queue.context(), clock},
            [weak = weak_from_this(), instrument, interval, key](MarketResult result) {
                const auto self = weak.lock();
                if (!self)
                    return;
                self->queue.async([weak, result = std::move(result), instrument, interval, key]() mutable {
                    if (const auto self = weak.lock())
                        self->finishRequest(std::move(result), instrument, interval, key);
                });
            });
}

void MarketMonitor::finishRequest(MarketResult result, const MarketInstrument& instrument,
                                  MarketInterval interval, const QString& key) {
    if (!result) {
        {
            std::scoped_lock guard(lock);
            inFlightKeys.remove(key);
            retryAfter.insert(key, clock->now() + retryDelay);
        }
        return prefetchNext();
    }
    const QByteArray frame = MarketFrameRenderer::rgb565(*result);
    bool current;
    {
        std::scoped_lock guard(lock);
        inFlightKeys.remove(key);
        retryAfter.remove(key);
        snapshotCache.insert(key, *result);
        frameCache.insert(key, frame);
        current = _requestedInstrument.id == instrument.id && _requestedInterval == interval;
    }
    if (current)
        activate(*result, frame);
}

void MarketMonitor::activate(const MarketSnapshot& snapshot, const QByteArray& frame) {
    const QByteArray packed = MarketFrameCodec::packRGB565(frame);
    QByteArray documents[2] = {marketDocument(snapshot, false), marketDocument(snapshot, true)};
    std::scoped_lock guard(lock);
    if (_requestedInstrument.id != snapshot.instrument.id || _requestedInterval != snapshot.interval)
        return;
    // A user change reads the cache on its own thread while the queue may store and activate a
    // fresher snapshot of the same key: only the snapshot still cached may be shown, so an
    // older one never replaces a newer one.
    const QString key = cacheKey(snapshot.instrument, snapshot.interval);
    if (snapshotCache.value(key) != snapshot || frameCache.value(key) != frame)
        return;
    const bool changed = frame != cachedFrame || _cachedPackedFrame.isEmpty();
    value = snapshot;
    cachedFrame = frame;
    cachedFrameKey = frameKey(snapshot);
    if (changed) {
        _cachedPackedFrame = MarketFrameCodec::envelope(packed, nextFrameVersionLocked());
        cachedEnvelope = makeFrameEnvelope(frame, _frameVersion);
    }
    cachedJson[0] = std::move(documents[0]);
    cachedJson[1] = std::move(documents[1]);
    cachedVersionJson = versionDocumentLocked();
}

std::uint64_t MarketMonitor::nextFrameVersionLocked() {
    const auto ms = std::uint64_t(std::max(0.0, clock->now() * 1000));
    _frameVersion = std::max(ms, _frameVersion + 1);
    return _frameVersion;
}

QByteArray MarketMonitor::versionDocumentLocked() const {
    return compact({{"version", qint64(_frameVersion)},
                    {"session", _frameVersion < 2 ? QString() : _frameSession},
                    {"bytes", MarketFrameCodec::rawFrameBytes},
                    {"packed_bytes", _cachedPackedFrame.size()},
                    {"codec", "rgb565-packbits-v1"},
                    {"instrument", value.instrument.id},
                    {"interval", rawValue(value.interval)}});
}

void MarketMonitor::store(const char* key, const QVariant& stored) const {
    if (persistChoices)
        Settings::setValue(QLatin1String(key), stored);
}

std::optional<double> MarketMonitor::cadence() const {
    return const_cast<SerialQueue&>(queue).sync([this]() -> std::optional<double> {
        if (!timer || !timer->isActive())
            return std::nullopt;
        return timer->interval() / 1000.0;
    });
}

void MarketMonitor::waitIdle() const {
    const_cast<SerialQueue&>(queue).sync([] {});
}

QString MarketMonitor::cacheKey(const MarketInstrument& instrument, MarketInterval interval) {
    return instrument.id + u'|' + rawValue(interval);
}

QString MarketMonitor::frameKey(const MarketSnapshot& s) {
    const auto flag = [](bool b) { return b ? QStringLiteral("true") : QStringLiteral("false"); };
    return cacheKey(s.instrument, s.interval) + u'|' +
           (s.updatedAt ? QString::number(*s.updatedAt, 'g', 17) : QStringLiteral("0")) + u'|' +
           flag(s.stale) + u'|' + flag(s.lineOnly);
}

QByteArray MarketMonitor::makeFrameEnvelope(const QByteArray& frame, std::uint64_t version) {
    QByteArray envelope(8, Qt::Uninitialized);
    qToBigEndian(quint64(version), envelope.data());
    return envelope + frame;
}

} // namespace glimmet
