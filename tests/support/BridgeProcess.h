#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace glimmet::test {

// A glimmet-bridge process that sees nothing of the developer's machine: an environment
// scrubbed down to PATH, a locale and middayZone(), HOME, every XDG folder and the serial
// folder below `root`, and every remote endpoint pointed at `endpointBase` (by default a loopback
// port where nothing listens).
// Killed on destruction if still running.
class BridgeProcess {
public:
    // `settings` are stored before the start, after (and over) the endpoints.
    BridgeProcess(const QString& program, const QString& root, const QStringList& args = {},
                  const QString& endpointBase = QStringLiteral("http://127.0.0.1:9"),
                  const QVariantMap& settings = {});
    ~BridgeProcess();

    // The time zone of every bridge process: one where it is about midday now, so that today
    // neither starts nor ends while a test runs ("Etc/GMT-5" and the like).
    static QByteArray middayZone();

    // Waits until standard error holds `text`.
    bool waitForLog(const QString& text, int timeoutMs = 15000);

    QProcess process;
    QString log; // standard error read so far
};

} // namespace glimmet::test
