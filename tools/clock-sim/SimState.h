#pragma once

#include "common/Error.h"
#include "tools/clock-sim/SimSprites.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <functional>

namespace glimmet {

// What the stand-in clock remembers: the settings the bridge changes (over HTTP or serial
// commands), its sprites and the last status document it received; builds its info document.
// Main thread only; owned by main().
class SimState {
public:
    QString ip; // reported as "ip": the address the clock serves on, or ""
    SimSprites sprites;

    // Called after the bridge address changed.
    std::function<void()> bridgeChanged;

    // The setting operations; `via` names the channel in the log line ("http", "serial").
    Result<void> setDisplayMode(const QString& mode, const QString& via);
    Result<void> setBrightness(const QString& level, const QString& via);
    Result<void> setPetAppearance(const QString& preset, const QString& scale, const QString& via);
    Result<void> setBridgeHost(const QString& host, const QString& via);

    // A status document arrived from the bridge (it drives "auto" and "last_update_s").
    void noteStatus(const QJsonObject& status);

    QString bridge() const { return _bridge; }
    // The compact info document served at /api/info, and with `wired` set after "#DEVICE ".
    QByteArray infoJson(bool wired = false) const;

private:
    QString effective() const;
    QString showing() const;

    QString _bridge;
    QString mode = QStringLiteral("auto");
    std::int64_t brightness = 100;
    QString petPreset = QStringLiteral("classic");
    std::int64_t petScale = 85;
    QJsonObject lastStatus;
    QElapsedTimer sinceStatus; // invalid until the first status document
};

} // namespace glimmet
