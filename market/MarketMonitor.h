#pragma once

#include "common/Clock.h"
#include "common/Demand.h"
#include "common/SerialQueue.h"
#include "market/MarketFetch.h"
#include "market/MarketRefreshInterval.h"
#include "market/MarketSnapshot.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class QTimer;

namespace glimmet {

// Keeps one market chart ready for the clock: while the chart is read, refreshes the chosen
// instrument on a timer and rotates through the favourites; caches snapshots and rendered
// frames per instrument and interval, and publishes the frame raw, enveloped and packed with a
// growing version.
// Timers and fetch continuations run on its "glimmet.market" queue; readers on any thread.
// One instance, created by the app in a std::shared_ptr and kept for the process's life.
class MarketMonitor : public std::enable_shared_from_this<MarketMonitor> {
public:
    // Fetches one snapshot; the monitor passes its queue as the context.
    using Fetcher = std::function<void(const MarketInstrument&, MarketInterval, const MarketFetchContext&,
                                       MarketCompletion)>;

    static constexpr int maxFavorites = 15;
    static constexpr double retryDelay = 30; // seconds before the prefetcher retries a failed key
    static constexpr double readLinger = 30; // seconds of refreshes after the last read

    // Settings keys.
    static constexpr auto favoriteIdsKey = "market_favorite_ids";
    static constexpr auto instrumentIdKey = "market_instrument_id";
    static constexpr auto intervalKey = "btc_interval";
    static constexpr auto refreshIntervalKey = "market_refresh_interval";

    // Reads the stored choices and renders the waiting frame. With `persistChoices` false the
    // user's changes are not written back (the command-line previews).
    explicit MarketMonitor(std::shared_ptr<const Clock> clock = Clock::system(),
                           Fetcher fetcher = MarketFetch::fetchMarket, bool persistChoices = true);
    ~MarketMonitor();

    MarketMonitor(const MarketMonitor&) = delete;
    MarketMonitor& operator=(const MarketMonitor&) = delete;

    // Starts the refresh timer and fetches the current instrument at once; no effect when
    // already started. From then on the timer runs while the chart is read (the snapshot, a
    // frame or a document): it stops once nothing was read for `readLinger` seconds, and the
    // next read starts it again with a fetch at once. That read is answered from what the
    // monitor held; "stale" says whether that is old.
    void start();

    // User changes (menu, previews). Each shows cached data at once when there is some, then
    // fetches; the choice is stored in the settings.
    void setInstrument(const MarketInstrument& instrument);
    void setInterval(MarketInterval interval);
    void setRefreshInterval(MarketRefreshInterval refreshInterval);
    // False only when the list already holds 15 favourites. Does not select the instrument.
    bool addFavorite(const MarketInstrument& instrument);

    // The shown snapshot with `stale` recomputed from its age.
    MarketSnapshot snapshot();
    // The 115 200-byte RGB565 frame of snapshot() (shows "STALE" once the data is old).
    QByteArray frameRGB565();
    // "/btc/frame.raw": the published frame behind its 8-byte big-endian version.
    QByteArray frameEnvelope();
    // "/btc/frame.rle": the packed frame in its envelope; empty when it could not be packed.
    QByteArray cachedPackedFrame();
    // "/btc/version": the frame version document.
    QByteArray frameVersionJSON();
    // "/btc": the market snapshot document.
    QByteArray jsonData();

    QList<MarketInstrument> favoriteItems() const;
    MarketInstrument requestedInstrument() const;
    MarketInterval requestedInterval() const;
    MarketRefreshInterval refreshInterval() const;
    std::uint64_t frameVersion() const;
    QString frameSession() const;

    // One timer event: refresh the shown instrument, or rotate to the next cached favourite.
    void cadenceTick();
    // The period of the running refresh timer in seconds; none before start().
    std::optional<double> cadence() const;
    // Returns once the work queued on the monitor's queue so far has run.
    void waitIdle() const;

    // "btc-usd|5m".
    static QString cacheKey(const MarketInstrument& instrument, MarketInterval interval);
    // The cache key, the update time and the stale and line-only flags: equal keys render alike.
    static QString frameKey(const MarketSnapshot& snapshot);
    // `version` as 8 big-endian bytes followed by `frame`.
    static QByteArray makeFrameEnvelope(const QByteArray& frame, std::uint64_t version);

private:
    void noteRead();
    void timerTick();
    void rotateFavoriteIfReady();
    void prefetchNext();
    void request(const MarketInstrument& instrument, MarketInterval interval);
    void finishRequest(MarketResult result, const MarketInstrument& instrument, MarketInterval interval,
                       const QString& key);
    void activate(const MarketSnapshot& snapshot, const QByteArray& frame);
    std::uint64_t nextFrameVersionLocked();
    bool isStale(const MarketSnapshot& snapshot, MarketRefreshInterval refresh) const;
    void scheduleTimer(MarketRefreshInterval refresh);
    void queueRequestForCurrent();
    void store(const char* key, const QVariant& value) const;
    QByteArray versionDocumentLocked() const;

    const std::shared_ptr<const Clock> clock;
    const Fetcher fetcher;
    const bool persistChoices;
    SerialQueue queue{QStringLiteral("glimmet.market")};

    mutable std::mutex lock;
    QTimer* timer = nullptr; // created and used only on `queue`
    std::atomic<bool> started{false};
    Demand demand{readLinger};
    MarketRefreshInterval _refreshInterval = MarketRefreshInterval::tenSeconds;
    MarketSnapshot value;
    MarketInstrument _requestedInstrument;
    MarketInterval _requestedInterval = MarketInterval::fiveMinutes;
    QList<MarketInstrument> _favoriteItems;
    qsizetype rotationIndex = 0;
    QByteArray cachedFrame;
    QString cachedFrameKey;
    QByteArray _cachedPackedFrame;
    QByteArray cachedEnvelope;
    QByteArray cachedVersionJson;
    QByteArray cachedJson[2];        // the "/btc" document with "stale" false and true
    mutable QByteArray displayFrame; // frameRGB565() of a snapshot whose staleness moved
    mutable QString displayFrameKey;
    QHash<QString, MarketSnapshot> snapshotCache;
    QHash<QString, QByteArray> frameCache;
    QSet<QString> inFlightKeys;
    QHash<QString, double> retryAfter;
    std::uint64_t _frameVersion = 1;
    QString _frameSession;
};

} // namespace glimmet
