#pragma once

#include "support/TempHome.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <optional>

namespace glimmet::test {

// Session logs written by a test under a temporary HOME, with chosen modification times.
// Times are given in the local time of `zone`.
class LogTree {
public:
    explicit LogTree(QTimeZone zone = QTimeZone("Asia/Shanghai"))
        : zone(std::move(zone)) {}

    // Epoch seconds of a local date-time "2026-07-14T18:00:00".
    double at(const char* local) const {
        const QDateTime parsed = QDateTime::fromString(QString::fromLatin1(local), Qt::ISODateWithMs);
        return double(QDateTime(parsed.date(), parsed.time(), zone).toMSecsSinceEpoch()) / 1000.0;
    }

    // The RFC 3339 UTC form of an epoch time, as the agents write it.
    static QString iso(double epoch) {
        return QDateTime::fromMSecsSinceEpoch(qint64(epoch * 1000), Qt::UTC).toString(Qt::ISODateWithMs);
    }

    // Writes `lines` (objects become compact JSON, byte arrays go as they are) to `relative`
    // under HOME and sets the file's modification time.
    QString write(const QString& relative, const QList<QVariant>& lines, double modified,
                  bool lineFeedAtEnd = true) {
        QByteArray bytes;
        for (const QVariant& line : lines) {
            bytes += line.typeId() == QMetaType::QByteArray
                         ? line.toByteArray()
                         : QJsonDocument(line.toJsonObject()).toJson(QJsonDocument::Compact);
            bytes += '\n';
        }
        if (!lineFeedAtEnd)
            bytes.chop(1);
        const QString path = home.write(relative, bytes);
        QFile file(path);
        file.open(QIODevice::ReadWrite);
        file.setFileTime(QDateTime::fromMSecsSinceEpoch(qint64(modified * 1000)),
                         QFileDevice::FileModificationTime);
        return path;
    }

    QString path(const QString& relative) const { return home.path() + u'/' + relative; }

    TempHome home;
    QTimeZone zone;
};

// Checks `actual` in a table row that states what it should be.
template <class T, class U> void check(const std::optional<T>& expected, const U& actual, const char* name) {
    if (expected) {
        EXPECT_EQ(actual, *expected) << name;
    }
}

inline qint64 whole(double t) {
    return qint64(t);
}

} // namespace glimmet::test
