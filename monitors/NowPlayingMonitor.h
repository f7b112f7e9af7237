#pragma once

#include "common/Clock.h"
#include "common/Demand.h"
#include "monitors/NowPlayingSource.h"

#include <QByteArray>
#include <QImage>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

class QTimer;

namespace glimmet {

// Follows what the computer plays and keeps ready what the clock shows of it: the
// now-playing document, a 128 x 128 cover and a 232 x 44 title strip, both RGB565. While they
// are read, polls its source every 2 s on a worker thread and applies results on the main
// thread; the document and bitmaps are read from any thread. Owned by the app through a
// std::shared_ptr.
class NowPlayingMonitor : public std::enable_shared_from_this<NowPlayingMonitor> {
public:
    struct Snapshot {
        QString title;
        QString artist;
        QString album;
        bool playing = false;
        double elapsed = 0;  // seconds at updatedAt
        double duration = 0; // seconds; 0 when unknown
        std::int64_t artworkRev = 0;
        double updatedAt = 0;
    };

    static constexpr int pollIntervalMs = 2000;
    // Polling goes on for this long after the last read.
    static constexpr double readLinger = 10;
    static constexpr std::int64_t emptyStreakToClear = 3;
    static constexpr std::int64_t thinStreakToReplace = 5;
    static constexpr int coverW = 128;
    static constexpr int coverH = 128;
    static constexpr int textW = 232;
    static constexpr int textH = 44;

    NowPlayingMonitor(std::shared_ptr<NowPlayingSource> source,
                      std::shared_ptr<const Clock> clock = Clock::system());
    ~NowPlayingMonitor();

    // From now on the source is polled on the calling (main) thread while the monitor is read:
    // the first read (of the snapshot, the document or a bitmap) polls at once and every 2 s
    // after, until nothing was read for `readLinger` seconds. That first read is answered from
    // what the monitor held; the next one sees the new poll.
    void start();
    bool polling() const;

    // Starts one probe on a worker thread unless one is still running; its result is applied
    // on the main thread.
    void poll();

    // Applies one probe result (main thread): damps transient empty results, updates the
    // cover when the artwork changed, and stores the snapshot.
    void apply(const NowPlayingInfo& info);

    // The current snapshot, its position advanced to now while playing.
    Snapshot snapshot();

    // The now-playing document; renders the title strip first when the track changed.
    QByteArray jsonData();

    // Copies of the current bitmaps; empty when there is none.
    QByteArray coverRGB565();
    QByteArray textRGB565();

    // The 128 x 128 aspect-filled, centre-cropped cover of an encoded image; empty when the
    // bytes do not decode.
    static QByteArray makeCoverRGB565(const QByteArray& imageBytes);
    // The title strip: the title (or "No Music") above the artist, each centred on one line
    // and cut with an ellipsis when too long.
    static QImage renderTextStrip(const QString& title, const QString& artist);

private:
    // A probe result with its artwork hashed and, when new, decoded.
    struct Prepared {
        NowPlayingInfo info;
        std::uint64_t artworkHash = 0;
        QByteArray cover;
    };

    static Prepared prepare(NowPlayingInfo info, std::uint64_t knownHash);
    void noteRead();
    void tick();
    void applyPrepared(Prepared prepared);
    bool ignoresTransient(const Snapshot& next);
    void renderTextIfNeeded();

    const std::shared_ptr<NowPlayingSource> source;
    const std::shared_ptr<const Clock> clock;
    std::unique_ptr<QTimer> timer;
    std::atomic<bool> started{false};
    Demand demand{readLinger};

    mutable std::mutex lock;
    Snapshot _snapshot;
    QByteArray _coverRGB565;
    std::uint64_t lastArtworkHash = 0;
    bool helperRunning = false;
    QByteArray _textRGB565;
    std::int64_t textRev = 0;
    std::optional<QString> lastTextKey;
    std::int64_t emptyStreak = 0;
};

} // namespace glimmet
