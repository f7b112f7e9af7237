#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace glimmet::test {

// Writes `bytes` to `path`, creating its folders; false when it could not.
bool writeFile(const QString& path, const QByteArray& bytes);
// The bytes of the file at `path`, or "<absent>" when it cannot be read.
QByteArray readFile(const QString& path);

// A fresh HOME (and XDG data and cache folders) for one test, with an empty settings
// store; the previous HOME is restored on destruction.
class TempHome {
public:
    TempHome();
    ~TempHome();

    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    QString path() const { return dir.path(); }
    // Writes `bytes` to `relative` under HOME, creating folders; returns the full path.
    QString write(const QString& relative, const QByteArray& bytes) const;

    // Called once by the test main before the application starts: the settings store and
    // every HOME of the process live below `root`.
    static void useProcessRoot(const QString& root);

private:
    QTemporaryDir dir;
    QByteArray previousHome;
    QByteArray previousData;
    QByteArray previousCache;
};

} // namespace glimmet::test
