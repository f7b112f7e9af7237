#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <optional>

namespace glimmet {

// The per-user settings store (QSettings "Glimmet"/"GlimmetBridge"). Every write is synced
// at once so that a setting survives a crash. Safe to call from any thread.
class Settings {
public:
    // Keys of the store, as the clock's pairing and the menu name them.
    static constexpr auto deviceHostKey = "device_host";
    static constexpr auto deviceLastSeenKey = "device_last_seen";

    static QVariant value(const QString& key);
    static void setValue(const QString& key, const QVariant& value);
    static void remove(const QString& key);

    // The stored value when it is a string (absent for a missing key or another type).
    static std::optional<QString> string(const QString& key);
    // A stored list; a single stored string reads as a one-item list.
    static QStringList stringList(const QString& key);

    static QString deviceHost() { return string(deviceHostKey).value_or(QString()); }
    static void setDeviceHost(const QString& host) { setValue(deviceHostKey, host); }
    static QString deviceLastSeen() { return string(deviceLastSeenKey).value_or(QString()); }
    static void setDeviceLastSeen(const QString& host) { setValue(deviceLastSeenKey, host); }

    // Removes every key (tests start from an empty store).
    static void clear();

    // Runs `write` on a worker thread, after every write handed over before it: for callers
    // that must not wait on the file (route callbacks on the HTTP queue).
    static void writeLater(std::function<void()> write);
    // Returns once every write handed over so far is done.
    static void flush();

    // Counts the writes made through this class that changed the store: a caller that keeps
    // a value it wrote can tell whether anything was written since.
    static std::uint64_t revision();
};

} // namespace glimmet
