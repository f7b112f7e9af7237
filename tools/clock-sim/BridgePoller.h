#pragma once

#include "tools/clock-sim/HostPort.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>

namespace glimmet {

class SimScreen;
class SimState;

// Polls the bridge the way the clock does, every 2 s (or `periodMs`): "/status", "/net",
// "/btc/version" (and "/btc/frame.rle" when the version moved) and "/music" (and its bitmaps
// when their revisions moved). Each request goes out from `source` so the bridge sees the
// clock's address. Main thread; owned by main().
class BridgePoller : public QObject {
public:
    static constexpr int clockPeriodMs = 2000;
    static constexpr int requestTimeoutMs = 5000;
    static constexpr qsizetype maxAnswerBytes = 4 * 1024 * 1024;

    struct Response {
        int status = 0; // 0 when the request failed
        QByteArray body;
        QString error;
    };

    BridgePoller(SimState& state, SimScreen& screen, QHostAddress source, int periodMs = clockPeriodMs);

    // Polls this bridge from now on; none stops polling.
    void setBridge(std::optional<HostPort> bridge);

private:
    void poll();
    void get(const QString& path, std::function<void(const Response&)> done);
    void onVersion(const Response& response);
    void onMusic(const Response& response);

    SimState& state;
    SimScreen& screen;
    QHostAddress source;
    std::optional<HostPort> bridge;
    QTimer timer;
    QSet<QString> inFlight;
    std::optional<std::int64_t> frameVersion, textRev, artworkRev;
};

} // namespace glimmet
