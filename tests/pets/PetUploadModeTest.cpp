#include "pets/FakeCatalogue.h"
#include "support/BridgeProcess.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace glimmet::test;

namespace {

// The real executable against a fake catalogue and a fake clock; the stored clock address
// (a closed port) is replaced by the fourth argument.
TEST(PetUploadMode, PrintsEachStepAndUploadsTheGifToTheSlot) {
    FakeCatalogue catalogue(R"([{"slug":"pika","displayName":"Pika","spritesheetUrl":"SHEETS/pika.webp"}])");
    catalogue.setSheet("pika", webpSheet({1536, 1872}));
    FakeHttpServer clock;
    clock.setResponse("/sprite/claude", {200, "ok"});
    QTemporaryDir home;
    const QString host = "127.0.0.1:" + QString::number(clock.port());
    BridgeProcess bridge(GLIMMET_BRIDGE_PATH, home.path(), {"--test-pet", "pika", "claude", host},
                         "http://127.0.0.1:9",
                         {{"device_host", "127.0.0.1:9"}, {"endpoints/petdex", catalogue.server.baseUrl()}});
    ASSERT_TRUE(bridge.process.waitForFinished(30000));
    EXPECT_EQ(bridge.process.exitCode(), 0);

    const QList<RecordedRequest> uploads = clock.requests("/sprite/claude");
    ASSERT_EQ(uploads.size(), 1);
    const QByteArray boundary = uploads[0].header("Content-Type").split('=').value(1);
    const QByteArray head = "--" + boundary +
                            "\r\nContent-Disposition: form-data; name=\"file\"; "
                            "filename=\"pet.gif\"\r\nContent-Type: image/gif\r\n\r\n";
    EXPECT_TRUE(uploads[0].body.startsWith(head + "GIF89a"));
    EXPECT_TRUE(uploads[0].body.endsWith(";\r\n--" + boundary + "--\r\n")); // the GIF trailer, then the end
    EXPECT_EQ(QString::fromUtf8(bridge.process.readAllStandardOutput()),
              "pet: Pika " + catalogue.server.baseUrl() + "/sheets/pika.webp\nsheet: 1536x1872\ngif: " +
                  QString::number(uploads[0].body.size() - head.size() - boundary.size() - 8) +
                  " bytes, uploading to " + host + " slot claude...\nupload ok\n");
}

} // namespace
