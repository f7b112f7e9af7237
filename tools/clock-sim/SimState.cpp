#include "tools/clock-sim/SimState.h"

#include "common/Log.h"
#include "tools/clock-sim/HostPort.h"

#include <QJsonDocument>
#include <QStringList>

#include <cmath>
#include <optional>

namespace glimmet {

namespace {

const QStringList modes{QStringLiteral("auto"),  QStringLiteral("claude"), QStringLiteral("codex"),
                        QStringLiteral("grok"),  QStringLiteral("kimi"),   QStringLiteral("net"),
                        QStringLiteral("music"), QStringLiteral("btc")};

Error rejected(const QString& why) {
    return Error{QStringLiteral("SimState"), 400, why};
}

// A whole decimal number within [low, high].
std::optional<std::int64_t> bounded(const QString& text, std::int64_t low, std::int64_t high) {
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok);
    if (!ok || value < low || value > high)
        return std::nullopt;
    return value;
}

std::int64_t scaled(std::int64_t size, std::int64_t percent) {
    return std::llround(double(percent) * double(size) / 100.0);
}

} // namespace

Result<void> SimState::setDisplayMode(const QString& value, const QString& via) {
    if (!modes.contains(value))
        return std::unexpected(rejected(QStringLiteral("unknown mode: ") + value));
    mode = value;
    Log::line(QStringLiteral("[sim] set display %1 (%2)").arg(mode, via));
    return {};
}

Result<void> SimState::setBrightness(const QString& level, const QString& via) {
    const auto value = bounded(level, 0, 100);
    if (!value)
        return std::unexpected(rejected(QStringLiteral("brightness must be 0-100: ") + level));
    brightness = *value;
    Log::line(QStringLiteral("[sim] set brightness %1 (%2)").arg(brightness).arg(via));
    return {};
}

Result<void> SimState::setPetAppearance(const QString& preset, const QString& scale, const QString& via) {
    const auto percent = bounded(scale, 10, 200);
    if (preset.trimmed().isEmpty() || !percent)
        return std::unexpected(rejected(QStringLiteral("pet needs a preset and a scale of 10-200")));
    petPreset = preset.trimmed();
    petScale = *percent;
    Log::line(QStringLiteral("[sim] set pet %1 %2 (%3)").arg(petPreset).arg(petScale).arg(via));
    return {};
}

Result<void> SimState::setBridgeHost(const QString& host, const QString& via) {
    if (!host.trimmed().isEmpty() && !HostPort::parse(host, 8765))
        return std::unexpected(rejected(QStringLiteral("bridge must be HOST:PORT: ") + host));
    _bridge = host.trimmed();
    Log::line(QStringLiteral("[sim] set bridge %1 (%2)")
                  .arg(_bridge.isEmpty() ? QStringLiteral("none") : _bridge, via));
    if (bridgeChanged)
        bridgeChanged();
    return {};
}

void SimState::noteStatus(const QJsonObject& status) {
    lastStatus = status;
    sinceStatus.start();
}

// "auto" shows the agent at work, else the bridge's preferred agent.
QString SimState::showing() const {
    if (mode == u"claude" || mode == u"codex" || mode == u"grok" || mode == u"kimi")
        return mode;
    for (const char* agent : {"claude", "codex"})
        if (lastStatus[QLatin1String(agent)].toObject()[QStringLiteral("status")] ==
            QStringLiteral("working"))
            return QLatin1String(agent);
    const QString preferred = lastStatus[QStringLiteral("preferred_agent")].toString();
    return preferred == u"codex" ? preferred : QStringLiteral("claude");
}

QString SimState::effective() const {
    return mode == u"auto" ? showing() : mode;
}

QByteArray SimState::infoJson(bool wired) const {
    const QString shown = showing();
    auto pet = [this](const QString& slot) {
        return QJsonObject{{QStringLiteral("custom_sprite"), sprites.isCustom(slot)},
                           {QStringLiteral("w"), SimSprites::width},
                           {QStringLiteral("h"), SimSprites::height},
                           {QStringLiteral("display_w"), qint64(scaled(SimSprites::width, petScale))},
                           {QStringLiteral("display_h"), qint64(scaled(SimSprites::height, petScale))}};
    };
    const QJsonObject info{
        {QStringLiteral("ip"), ip},
        {QStringLiteral("ssid"), QStringLiteral("glimmet-sim")},
        {QStringLiteral("bridge"), _bridge},
        {QStringLiteral("mode"), mode},
        {QStringLiteral("effective"), effective()},
        {QStringLiteral("showing"), shown},
        {QStringLiteral("last_update_s"), sinceStatus.isValid() ? sinceStatus.elapsed() / 1000 : qint64(-1)},
        {QStringLiteral("sprite_rev"), qint64(sprites.revision())},
        {QStringLiteral("brightness"), qint64(brightness)},
        {QStringLiteral("pet_preset"), petPreset},
        {QStringLiteral("pet_scale"), qint64(petScale)},
        {QStringLiteral("sprite_w"), SimSprites::width},
        {QStringLiteral("sprite_h"), SimSprites::height},
        {QStringLiteral("sprite_display_w"), qint64(scaled(SimSprites::width, petScale))},
        {QStringLiteral("sprite_display_h"), qint64(scaled(SimSprites::height, petScale))},
        {QStringLiteral("sprite_custom"), sprites.isCustom(shown)},
        {QStringLiteral("wired"), wired},
        {QStringLiteral("claude"), pet(QStringLiteral("claude"))},
        {QStringLiteral("codex"), pet(QStringLiteral("codex"))},
    };
    return QJsonDocument(info).toJson(QJsonDocument::Compact);
}

} // namespace glimmet
