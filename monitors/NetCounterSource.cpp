#include "monitors/NetCounterSource.h"

#include <QDir>
#include <QFile>

namespace glimmet {

namespace {

bool isCountedInterface(const QString& name) {
    return name.startsWith(u"en") || name.startsWith(u"eth") || name.startsWith(u"wl");
}

std::optional<std::uint64_t> readCounter(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool ok = false;
    const std::uint64_t value = file.read(32).trimmed().toULongLong(&ok);
    return ok ? std::optional(value) : std::nullopt;
}

} // namespace

SysfsNetCounterSource::SysfsNetCounterSource(QString root)
    : root(std::move(root)) {}

std::optional<NetCounters> SysfsNetCounterSource::counters() {
    const QDir dir(root);
    if (!dir.exists())
        return std::nullopt;
    NetCounters total;
    for (const QString& name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!isCountedInterface(name))
            continue;
        const QString statistics = dir.filePath(name) + QStringLiteral("/statistics/");
        const auto rx = readCounter(statistics + QStringLiteral("rx_bytes"));
        const auto tx = readCounter(statistics + QStringLiteral("tx_bytes"));
        // An interface that vanished between the listing and the read counts as absent.
        if (!rx || !tx)
            continue;
        total.rx += *rx;
        total.tx += *tx;
    }
    return total;
}

} // namespace glimmet
