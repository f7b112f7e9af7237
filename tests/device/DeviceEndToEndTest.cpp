#include "common/Settings.h"
#include "device/Await.h"
#include "device/DeviceClient.h"
#include "device/SerialLink.h"
#include "support/TempHome.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

// The stand-in clock as a child process, its log collected as it runs.
struct Sim {
    QTemporaryDir snapshots;
    QProcess process;
    QString log;
    explicit Sim(QStringList args) {
        process.start(GLIMMET_CLOCK_SIM_PATH, args << "--snapshots" << snapshots.path());
    }
    ~Sim() { stop(); }
    void stop() {
        process.terminate();
        process.waitForFinished(5000);
    }
    QString waitForLog(const QString& pattern) {
        const QRegularExpression expression(pattern);
        QRegularExpressionMatch match;
        waitUntil([&] {
            log += QString::fromUtf8(process.readAllStandardError());
            return (match = expression.match(log)).hasMatch();
        });
        return match.captured(match.lastCapturedIndex());
    }
};

std::optional<Error> run(const std::function<void(DeviceClient::Completion)>& operation) {
    std::optional<std::optional<Error>> result;
    operation([&](std::optional<Error> error) { result = error; });
    EXPECT_TRUE(await(result));
    return result.value_or(Error{});
}

TEST(DeviceEndToEnd, HttpOperationsReachTheClock) {
    TempHome home;
    Sim sim({"--listen", "127.0.0.1:0"});
    Settings::setDeviceHost("127.0.0.1:" + sim.waitForLog("listening on 127.0.0.1:(\\d+)"));
    const QByteArray gif =
        QByteArray::fromHex("4749463839610100010080000000ff000000002c000000000100010000020244"
                            "01003b");
    EXPECT_EQ(run([](auto done) { DeviceClient::setDisplayMode("btc", done); }), std::nullopt);
    EXPECT_EQ(run([](auto done) { DeviceClient::setPetAppearance("border-collie", 50, done); }),
              std::nullopt);
    EXPECT_EQ(run([&](auto done) { DeviceClient::uploadGif(gif, "codex", done); }), std::nullopt);
    std::optional<Result<DeviceInfo>> info;
    DeviceClient::fetchInfo([&](Result<DeviceInfo> r) { info = r; });
    ASSERT_TRUE(await(info) && info->has_value());
    EXPECT_EQ((*info)->mode, "btc");
    EXPECT_EQ((*info)->petScale, 50);
    EXPECT_TRUE((*info)->codexCustomSprite);
    std::optional<Result<QByteArray>> sprite;
    DeviceClient::fetchSpriteRaw("codex", [&](Result<QByteArray> r) { sprite = r; });
    ASSERT_TRUE(await(sprite) && sprite->has_value());
    EXPECT_EQ(quint8((*sprite)->at(0)), 1); // one frame
    EXPECT_EQ(run([](auto done) { DeviceClient::resetSprite("codex", done); }), std::nullopt);
}

TEST(DeviceEndToEnd, SerialLinkWithTheClock) {
    TempHome home;
    QTemporaryDir folder;
    auto sim = std::make_unique<Sim>(QStringList{"--serial", folder.path()});
    sim->waitForLog("serial line");
    SerialLink link({}, {}, Clock::system(), folder.path());
    link.start();
    ASSERT_TRUE(waitUntil([&] { return link.linked(); }));
    EXPECT_EQ(run([](auto done) { DeviceClient::setBrightness(40, done); }), std::nullopt);
    EXPECT_EQ(sim->waitForLog(R"((#CMD \{"brightness":"40"\}))"), R"(#CMD {"brightness":"40"})");
    sim->waitForLog("(#STATUS)");
    sim.reset();
    EXPECT_TRUE(waitUntil([&] { return !link.linked() && link.portPath().isEmpty(); }));
}

// Runs only inside the stand-in LAN namespace (the "device_lan_pairing" test).
TEST(DeviceEndToEnd, SubnetScanFindsTheClock) {
    if (qEnvironmentVariable("GLIMMET_TEST_LAN") != u"1")
        GTEST_SKIP() << "needs the stand-in LAN namespace";
    TempHome home;
    Sim sim({"--listen", "10.99.0.77:80"});
    sim.waitForLog("listening");
    QStringList progress;
    std::optional<std::optional<QString>> found;
    DeviceClient::autoPair([&](const QString& text) { progress << text; },
                           [&](std::optional<QString> address) { found = address; });
    ASSERT_TRUE(await(found));
    EXPECT_EQ(*found, "10.99.0.77");
    EXPECT_EQ(progress, QStringList{"扫描 10.99.0.1-254…"});
    EXPECT_EQ(Settings::deviceHost(), "10.99.0.77");
}

} // namespace
