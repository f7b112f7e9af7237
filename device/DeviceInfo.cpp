#include "device/DeviceInfo.h"

#include "common/Json.h"

#include <QJsonObject>

#include <cmath>

namespace glimmet {

namespace {

// Readers of one key: a string takes only a JSON string, an integer any JSON number (its
// fraction dropped), a boolean a JSON boolean or the number 0 or 1.
QString text(const QJsonObject& object, const char* key, const QString& fallback) {
    return string(object.value(QLatin1String(key))).value_or(fallback);
}

std::int64_t whole(const QJsonObject& object, const char* key, std::int64_t fallback) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isDouble())
        return fallback;
    return truncatedInteger(value.toDouble()).value_or(fallback);
}

bool flag(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isBool())
        return value.toBool();
    return value.isDouble() && value.toDouble() == 1;
}

// Nearest integer, halves away from zero.
std::int64_t rounded(double value) {
    return truncatedInteger(std::round(value)).value_or(0);
}

} // namespace

std::optional<DeviceInfo> decodeInfo(const QByteArray& bytes) {
    const auto parsed = parseObject(bytes);
    if (!parsed)
        return std::nullopt;
    const QJsonObject& o = *parsed;
    DeviceInfo info;
    info.ip = text(o, "ip", QString());
    info.ssid = text(o, "ssid", QString());
    info.bridge = text(o, "bridge", QString());
    info.mode = text(o, "mode", QStringLiteral("auto"));
    info.effective = text(o, "effective", info.mode);
    info.showing = text(o, "showing", QString());
    info.lastUpdateS = whole(o, "last_update_s", -1);
    info.spriteRev = whole(o, "sprite_rev", 0);
    info.brightness = whole(o, "brightness", 100);
    info.petPreset = text(o, "pet_preset", QStringLiteral("classic"));
    info.petScale = whole(o, "pet_scale", 85);
    info.spriteW = whole(o, "sprite_w", 120);
    info.spriteH = whole(o, "sprite_h", 120);
    const double scale = double(info.petScale);
    info.spriteDisplayW = whole(o, "sprite_display_w", rounded(scale * double(info.spriteW) / 100));
    info.spriteDisplayH = whole(o, "sprite_display_h", rounded(scale * double(info.spriteH) / 100));
    info.spriteCustom = flag(o, "sprite_custom");
    info.wired = flag(o, "wired");

    const QJsonValue claudeValue = o.value(QLatin1String("claude"));
    const QJsonValue codexValue = o.value(QLatin1String("codex"));
    const QJsonObject claude = claudeValue.isObject() ? claudeValue.toObject() : QJsonObject();
    const QJsonObject codex = codexValue.isObject() ? codexValue.toObject() : QJsonObject();
    info.claudeCustomSprite = flag(claude, "custom_sprite");
    info.codexCustomSprite = flag(codex, "custom_sprite");
    info.claudeW = whole(claude, "w", 111);
    info.claudeH = whole(claude, "h", 120);
    info.codexW = whole(codex, "w", 120);
    info.codexH = whole(codex, "h", 120);
    info.claudeDisplayW = whole(claude, "display_w", rounded(double(info.claudeW) * 0.85));
    info.claudeDisplayH = whole(claude, "display_h", rounded(double(info.claudeH) * 0.85));
    info.codexDisplayW = whole(codex, "display_w", rounded(double(info.codexW) * 0.85));
    info.codexDisplayH = whole(codex, "display_h", rounded(double(info.codexH) * 0.85));
    return info;
}

} // namespace glimmet
