#include "common/Settings.h"

#include <QSettings>
#include <QThreadPool>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace glimmet {

namespace {

// QSettings is reentrant, not thread-safe: each call uses its own instance, and instances
// in one process share the parsed file.
QSettings store() {
    return QSettings(QStringLiteral("Glimmet"), QStringLiteral("GlimmetBridge"));
}

// The writes handed to writeLater(), run in order by one pool job at a time.
struct Writer {
    std::mutex lock;
    std::condition_variable idle;
    std::deque<std::function<void()>> writes;
    bool running = false;

    void drain() {
        std::unique_lock guard(lock);
        while (!writes.empty()) {
            const auto write = std::move(writes.front());
            writes.pop_front();
            guard.unlock();
            write();
            guard.lock();
        }
        running = false;
        idle.notify_all();
    }
};

Writer& writer() {
    static Writer instance;
    return instance;
}

std::atomic<std::uint64_t> writes{0};

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
    ++writes;
}

void Settings::remove(const QString& key) {
    auto s = store();
    s.remove(key);
    s.sync();
    ++writes;
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

void Settings::writeLater(std::function<void()> write) {
    Writer& w = writer();
    {
        std::lock_guard guard(w.lock);
        w.writes.push_back(std::move(write));
        if (w.running)
            return;
        w.running = true;
    }
    QThreadPool::globalInstance()->start([&w] { w.drain(); });
}

void Settings::flush() {
    Writer& w = writer();
    std::unique_lock guard(w.lock);
    w.idle.wait(guard, [&w] { return !w.running; });
}

void Settings::clear() {
    auto s = store();
    s.clear();
    s.sync();
    ++writes;
}

std::uint64_t Settings::revision() {
    return writes.load();
}

} // namespace glimmet
