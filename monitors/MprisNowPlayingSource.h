#pragma once

#include "monitors/ArtworkFetcher.h"
#include "monitors/NowPlayingSource.h"

#include <QString>

namespace glimmet {

// Linux: asks the media players on the D-Bus session bus (MPRIS) what they play: the first
// player whose PlaybackStatus is "Playing", else the first "Paused" one. No bus or no such
// player gives an empty record; every bus call gives up after a short time-out. Used by the
// now-playing monitor on its worker thread.
class MprisNowPlayingSource final : public NowPlayingSource {
public:
    static constexpr int defaultCallTimeoutMs = 1000;

    // An empty address means the user's session bus.
    explicit MprisNowPlayingSource(QString busAddress = {},
                                   std::shared_ptr<const Clock> clock = Clock::system());
    ~MprisNowPlayingSource() override;

    std::optional<NowPlayingInfo> probe() override;

    // How long a player may take to answer before it is skipped (tests shorten it).
    int callTimeoutMs = defaultCallTimeoutMs;

private:
    const QString busAddress;
    const QString connectionName;
    ArtworkFetcher artwork;
};

} // namespace glimmet
