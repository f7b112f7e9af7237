#pragma once

#include "common/Error.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace glimmet {

// The stand-in clock's pet sprites per slot: a drawn default, or the frames of an uploaded
// GIF, kept with the GIF itself. Serves them in the clock's raw sprite format. Main thread
// only; owned by SimState.
class SimSprites {
public:
    static constexpr int width = 120;
    static constexpr int height = 120;
    static constexpr int maxFrames = 32;

    static const QStringList& slotNames(); // "claude", "codex", "grok", "kimi"
    static bool isSlot(const QString& slot) { return slotNames().contains(slot); }

    // Replaces the slot's sprite with the frames of `gif`; fails when it holds no frame.
    Result<int> upload(const QString& slot, const QByteArray& gif);
    void reset(const QString& slot);

    // Byte 0: the frame count n; then n frames of width x height RGB565 pixels.
    QByteArray raw(const QString& slot) const;
    bool isCustom(const QString& slot) const { return custom.contains(slot); }
    std::int64_t revision() const { return rev; }

private:
    static QByteArray defaultRaw(const QString& slot);

    QHash<QString, QByteArray> custom; // slot -> raw sprite decoded from an upload
    std::int64_t rev = 1;
};

} // namespace glimmet
