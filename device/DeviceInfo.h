#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace glimmet {

// The clock's reported state, as read from its "api/info" document or from a "#DEVICE" line
// of the serial link. A plain value; every field has the default the clock implies by
// leaving its key out.
struct DeviceInfo {
    QString ip;
    QString ssid;
    QString bridge;
    QString mode = QStringLiteral("auto");
    QString effective = QStringLiteral("auto");
    QString showing;
    std::int64_t lastUpdateS = -1;
    std::int64_t spriteRev = 0;
    std::int64_t brightness = 100;
    QString petPreset = QStringLiteral("classic");
    std::int64_t petScale = 85;
    std::int64_t spriteW = 120;
    std::int64_t spriteH = 120;
    std::int64_t spriteDisplayW = 102;
    std::int64_t spriteDisplayH = 102;
    bool spriteCustom = false;
    bool wired = false;
    bool claudeCustomSprite = false;
    bool codexCustomSprite = false;
    std::int64_t claudeW = 111;
    std::int64_t claudeH = 120;
    std::int64_t codexW = 120;
    std::int64_t codexH = 120;
    std::int64_t claudeDisplayW = 94;
    std::int64_t claudeDisplayH = 102;
    std::int64_t codexDisplayW = 102;
    std::int64_t codexDisplayH = 102;

    bool operator==(const DeviceInfo&) const = default;
};

// Reads a clock state document: none when `bytes` are not a JSON object; otherwise every key
// that is absent or of the wrong type takes its default (derived sizes from the fields they
// are computed from).
std::optional<DeviceInfo> decodeInfo(const QByteArray& bytes);

} // namespace glimmet
