#include "support/RawHttp.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace glimmet::test;

namespace {

constexpr quint16 bridgePort = 8765;

// A bridge process with its own HOME and settings, and no display: it has to choose the
// offscreen platform by itself.
class Bridge {
public:
    explicit Bridge(const QString& root, const QStringList& args = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(name);
        env.insert("HOME", root);
        env.insert("XDG_CONFIG_HOME", root + "/config");
        env.insert("XDG_DATA_HOME", root + "/data");
        process.setProcessEnvironment(env);
        process.start(GLIMMET_BRIDGE_PATH, args);
    }
    ~Bridge() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    // Waits until standard error holds `text`; returns everything read so far.
    bool waitForLog(const QString& text, int timeoutMs = 15000) {
        QDeadlineTimer deadline(timeoutMs);
        while (!log.contains(text) && !deadline.hasExpired()) {
            process.waitForReadyRead(100);
            log += QString::fromUtf8(process.readAllStandardError());
        }
        return log.contains(text);
    }

    QProcess process;
    QString log;
};

bool portIsFree(quint16 port) {
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, port);
}

TEST(CommandLine, StatusJsonPrintsOneCompleteDocument) {
    QTemporaryDir home;
    Bridge bridge(home.path(), {"--status-json", "ignored-extra"});
    ASSERT_TRUE(bridge.process.waitForFinished(30000));
    EXPECT_EQ(bridge.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(bridge.process.exitCode(), 0);

    const QByteArray out = bridge.process.readAllStandardOutput();
    ASSERT_TRUE(out.endsWith('\n'));
    EXPECT_EQ(out.count('\n'), 1);
    const QJsonObject doc = QJsonDocument::fromJson(out).object();
    ASSERT_FALSE(doc.isEmpty()) << out.constData();
    EXPECT_EQ(doc["music_playing"], false);
    const QJsonObject claude = doc["claude"].toObject();
    for (const char* key :
         {"five_hour_pct", "five_hour_reset_min", "seven_day_pct", "seven_day_reset_min", "fable_pct"})
        EXPECT_TRUE(claude[key].isNull()) << key;
    for (const char* object : {"grok", "kimi"}) {
        const QJsonObject quota = doc[object].toObject();
        ASSERT_FALSE(quota.isEmpty()) << object;
        for (const QString& key : quota.keys())
            EXPECT_TRUE(quota[key].isNull()) << object << "." << key.toStdString();
    }
}

TEST(CommandLine, BridgeServesAndASecondInstanceKeepsRunningWithoutThePort) {
    if (!portIsFree(bridgePort))
        GTEST_SKIP() << "port 8765 is in use on this machine";
    QTemporaryDir home;
    // A mode word without its arguments falls through to the normal bridge.
    Bridge first(home.path(), {"--preview-btc"});
    ASSERT_TRUE(first.waitForLog("[bridge] serving /status on 0.0.0.0:8765\n")) << first.log.toStdString();

    const QByteArray response = rawExchange(bridgePort, {"GET /status HTTP/1.1\r\nHost: x\r\n\r\n"});
    const qsizetype headerEnd = response.indexOf("\r\n\r\n");
    ASSERT_GT(headerEnd, 0) << response.constData();
    const QByteArray body = response.mid(headerEnd + 4);
    EXPECT_EQ(response.left(headerEnd + 4),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                  QByteArray::number(body.size()) +
                  "\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(QJsonDocument::fromJson(body).object()["preferred_agent"].toString(), "codex");

    QTemporaryDir otherHome;
    Bridge second(otherHome.path());
    ASSERT_TRUE(second.waitForLog("[bridge] failed to bind port 8765: ")) << second.log.toStdString();
    EXPECT_FALSE(second.process.waitForFinished(1000)) << "the bridge goes on without a server";

    for (Bridge* bridge : {&first, &second}) {
        bridge->process.terminate();
        ASSERT_TRUE(bridge->process.waitForFinished(10000));
        EXPECT_EQ(bridge->process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(bridge->process.exitCode(), 0);
    }
}

TEST(CommandLine, SelfTestPrintsOneLineAndSucceeds) {
    QTemporaryDir home;
    Bridge bridge(home.path(), {"--self-test", "ignored-extra"});
    ASSERT_TRUE(bridge.process.waitForFinished(30000));
    EXPECT_EQ(bridge.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(bridge.process.exitCode(), 0);
    EXPECT_EQ(bridge.process.readAllStandardOutput(),
              "self-test: usage-window=00:01 market-symbols=5 btc-frame=115200 OK\n");
}

} // namespace
