#include "support/TempHome.h"

#include "common/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace glimmet::test {

namespace {
QString processRoot;
}

void TempHome::useProcessRoot(const QString& root) {
    processRoot = root;
    QDir(root).mkpath(QStringLiteral("home"));
    QDir(root).mkpath(QStringLiteral("config"));
    QDir(root).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(root + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", (root + QStringLiteral("/runtime")).toUtf8());
    qputenv("HOME", (root + QStringLiteral("/home")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_DATA_HOME", (root + QStringLiteral("/home/.local/share")).toUtf8());
    qputenv("XDG_CACHE_HOME", (root + QStringLiteral("/home/.cache")).toUtf8());
}

TempHome::TempHome()
    : dir(processRoot.isEmpty() ? QDir::tempPath() + QStringLiteral("/home-XXXXXX")
                                : processRoot + QStringLiteral("/home-XXXXXX"))
    , previousHome(qgetenv("HOME"))
    , previousData(qgetenv("XDG_DATA_HOME"))
    , previousCache(qgetenv("XDG_CACHE_HOME")) {
    qputenv("HOME", dir.path().toUtf8());
    qputenv("XDG_DATA_HOME", (dir.path() + QStringLiteral("/.local/share")).toUtf8());
    qputenv("XDG_CACHE_HOME", (dir.path() + QStringLiteral("/.cache")).toUtf8());
    Settings::clear();
}

TempHome::~TempHome() {
    Settings::clear();
    qputenv("HOME", previousHome);
    qputenv("XDG_DATA_HOME", previousData);
    qputenv("XDG_CACHE_HOME", previousCache);
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<absent>");
}

QString TempHome::write(const QString& relative, const QByteArray& bytes) const {
    const QString full = dir.path() + u'/' + relative;
    return writeFile(full, bytes) ? full : QString();
}

} // namespace glimmet::test
