#include "pets/FakeCatalogue.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace glimmet::test;

namespace {

// "--test-pet" run by the real executable against a fake catalogue and a fake clock, with a
// stored clock address that a fourth argument replaces.
TEST(PetUploadMode, PrintsEachStepAndUploadsTheGifToTheSlot) {
    FakeCatalogue catalogue(R"([{"slug":"pika","displayName":"Pika","spritesheetUrl":"SHEETS/pika.webp"}])");
    catalogue.setSheet("pika", webpSheet({1536, 1872}));
    const QString sheet = catalogue.server.baseUrl() + "/sheets/pika.webp";
    FakeHttpServer clock;
    const QString host = "127.0.0.1:" + QString::number(clock.port());
    clock.setResponse("/sprite/claude", {200, "ok"});
    clock.setResponse("/sprite/codex", {500, "busy"});
    const struct {
        QString storedHost;
        QStringList args;
        QString out;
        int status;
    } rows[] = {
        {"127.0.0.1:9",
         {"pika", "claude", host},
         "pet: Pika " + sheet + "\nsheet: 1536x1872\ngif: N bytes, uploading to " + host +
             " slot claude...\nupload ok\n",
         0},
        {host,
         {"pika", "codex"},
         "pet: Pika " + sheet + "\nsheet: 1536x1872\ngif: N bytes, uploading to " + host +
             " slot codex...\n" + "upload failed: 设备返回 HTTP 500 busy\n",
         1},
        {host, {"nobody", "claude"}, "manifest load failed or slug not found\n", 1},
    };
    for (const auto& row : rows) {
        QTemporaryDir home;
        QDir().mkpath(home.path() + "/config/Glimmet");
        QFile settings(home.path() + "/config/Glimmet/GlimmetBridge.conf");
        ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
        settings.write("[General]\ndevice_host=" + row.storedHost.toUtf8() +
                       "\n[endpoints]\npetdex=" + catalogue.server.baseUrl().toUtf8());
        settings.close();
        QProcess bridge;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", home.path() + "/config");
        env.insert("XDG_DATA_HOME", home.path() + "/data");
        bridge.setProcessEnvironment(env);
        bridge.start(GLIMMET_BRIDGE_PATH, QStringList{"--test-pet"} + row.args);
        ASSERT_TRUE(bridge.waitForFinished(30000));
        QString out = QString::fromUtf8(bridge.readAllStandardOutput());
        const QString gifBytes = QRegularExpression("gif: (\\d+) bytes").match(out).captured(1);
        EXPECT_EQ(out.replace("gif: " + gifBytes, "gif: N").toStdString(), row.out.toStdString());
        EXPECT_EQ(bridge.exitCode(), row.status);
    }

    const QList<RecordedRequest> uploads = clock.requests("/sprite/claude");
    ASSERT_EQ(uploads.size(), 1);
    const QByteArray boundary = uploads[0].header("Content-Type").split('=').value(1);
    EXPECT_TRUE(boundary.startsWith("glimmet-"));
    const QByteArray head = "--" + boundary +
                            "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"pet.gif\"\r\n"
                            "Content-Type: image/gif\r\n\r\nGIF89a";
    EXPECT_TRUE(uploads[0].body.startsWith(head));
    EXPECT_TRUE(uploads[0].body.endsWith(";\r\n--" + boundary + "--\r\n"));
    EXPECT_EQ(clock.requests("/sprite/codex").size(), 1);
}

} // namespace
