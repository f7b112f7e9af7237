#include "support/BridgeProcess.h"

#include "common/Endpoints.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSettings>

namespace glimmet::test {

BridgeProcess::BridgeProcess(const QString& program, const QString& root, const QStringList& args,
                             const QString& endpointBase, const QVariantMap& extraSettings) {
    QProcessEnvironment env;
    env.insert("PATH", qEnvironmentVariable("PATH", "/usr/bin:/bin"));
    env.insert("LANG", "C.UTF-8");
    env.insert("HOME", root);
    env.insert("TZ", middayZone());
    const struct {
        const char* variable;
        const char* folder;
    } folders[] = {{"XDG_CONFIG_HOME", "/config"},
                   {"XDG_DATA_HOME", "/data"},
                   {"XDG_CACHE_HOME", "/cache"},
                   {"XDG_RUNTIME_DIR", "/runtime"}};
    for (const auto& f : folders) {
        QDir().mkpath(root + f.folder);
        env.insert(f.variable, root + f.folder);
    }
    // No serial port of the machine's: the link looks in an empty folder.
    QDir().mkpath(root + "/serial");
    env.insert("GLIMMET_SERIAL_DIR", root + "/serial");
    QFile::setPermissions(root + "/runtime",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    QSettings settings(root + "/config/Glimmet/GlimmetBridge.conf", QSettings::IniFormat);
    // Every endpoint, those added later included: past the last one the name is empty.
    for (int e = 0; !Endpoints::name(Endpoint(e)).isEmpty(); ++e)
        settings.setValue("endpoints/" + Endpoints::name(Endpoint(e)), endpointBase);
    for (auto it = extraSettings.begin(); it != extraSettings.end(); ++it)
        settings.setValue(it.key(), it.value());
    settings.sync();

    process.setProcessEnvironment(env);
    process.start(program, args);
}

BridgeProcess::~BridgeProcess() {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

QByteArray BridgeProcess::middayZone() {
    const int offset = 12 - QDateTime::currentDateTimeUtc().time().hour(); // UTC-11 to UTC+12
    return QString("Etc/GMT%1%2").arg(offset > 0 ? '-' : '+').arg(std::abs(offset)).toLatin1();
}

bool BridgeProcess::waitForLog(const QString& text, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!log.contains(text) && !deadline.hasExpired()) {
        process.waitForReadyRead(100);
        log += QString::fromUtf8(process.readAllStandardError());
    }
    return log.contains(text);
}

} // namespace glimmet::test
