#include "common/Settings.h"

#include <QSettings>

namespace glimmet {

namespace {

// QSettings is reentrant, not thread-safe: each call uses its own instance, and instances
// in one process share the parsed file.
QSettings store() {
    return QSettings(QStringLiteral("Glimmet"), QStringLiteral("GlimmetBridge"));
}

} // namespace

QVariant Settings::value(const QString& key) {
    return store().value(key);
}

void Settings::setValue(const QString& key, const QVariant& value) {
    auto s = store();
    // The clock's polls store its address every few seconds: skip writes that change nothing.
    if (s.value(key) == value)
        return;
    s.setValue(key, value);
    s.sync();
}

void Settings::remove(const QString& key) {
    auto s = store();
    s.remove(key);
    s.sync();
}

std::optional<QString> Settings::string(const QString& key) {
    const QVariant v = value(key);
    if (v.typeId() != QMetaType::QString)
        return std::nullopt;
    return v.toString();
}

QStringList Settings::stringList(const QString& key) {
    return value(key).toStringList();
}

void Settings::clear() {
    auto s = store();
    s.clear();
    s.sync();
}

} // namespace glimmet
