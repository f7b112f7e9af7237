#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace glimmet {

// What a media player reports about the track it is playing. Strings are trimmed;
// `elapsed` is the position in seconds at the moment of the query.
struct NowPlayingInfo {
    QString title;
    QString artist;
    QString album;
    bool playing = false;
    double elapsed = 0;
    double duration = 0; // 0 when unknown
    QByteArray artwork;  // encoded image bytes; empty when there is none
};

// Asks the platform what is playing: one implementation per platform (MPRIS on Linux).
// probe() runs on a worker thread, one call at a time, and must return within a few seconds.
class NowPlayingSource {
public:
    virtual ~NowPlayingSource() = default;
    // An empty record when nothing plays; nothing when the question could not be answered,
    // in which case the monitor keeps what it has.
    virtual std::optional<NowPlayingInfo> probe() = 0;
};

} // namespace glimmet
