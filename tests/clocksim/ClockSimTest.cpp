#include "common/Settings.h"
#include "device/DeviceClient.h"
#include "device/SerialLink.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

// The 1 x 1 GIF that every decoder knows.
const QByteArray tinyGif =
    QByteArray::fromHex("4749463839610100010080000000ff000000002c000000000100010000020244"
                        "01003b");

// A running glimmet-clock-sim with a snapshots folder, ready to serve; stopped with SIGTERM.
class Sim {
public:
    explicit Sim(QStringList args) {
        args << "--snapshots" << dir.path();
        process.start(GLIMMET_CLOCK_SIM_PATH, args);
        if (waitForLog(QRegularExpression("listening on [^\\s:]+:(\\d+)|serial line ")))
            port = quint16(match.captured(1).toUInt());
    }
    ~Sim() {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
    }

    bool waitForLog(const QRegularExpression& pattern, int timeoutMs = 15000) {
        QDeadlineTimer deadline(timeoutMs);
        while (!(match = pattern.match(log)).hasMatch() && !deadline.hasExpired()) {
            process.waitForReadyRead(100);
            log += QString::fromUtf8(process.readAllStandardError());
        }
        return match.hasMatch();
    }

    QTemporaryDir dir;
    QProcess process;
    QString log;
    QRegularExpressionMatch match;
    quint16 port = 0;
};

const QStringList loopback{"--listen", "127.0.0.1:0"};

TEST(DeviceLinkWithSim, HttpOperationsReachTheClock) {
    TempHome home;
    Sim sim(loopback);
    Settings::setDeviceHost(QString("127.0.0.1:%1").arg(sim.port));
    using Outcome = std::optional<Error>;
    EXPECT_EQ(completion<Outcome>([](auto done) { DeviceClient::setDisplayMode("btc", done); }),
              std::nullopt);
    EXPECT_EQ(
        completion<Outcome>([](auto done) { DeviceClient::setPetAppearance("border-collie", 50, done); }),
        std::nullopt);
    EXPECT_EQ(completion<Outcome>([](auto done) { DeviceClient::uploadGif(tinyGif, "codex", done); }),
              std::nullopt);
    const auto info = completion<Result<DeviceInfo>>([](auto done) { DeviceClient::fetchInfo(done); });
    ASSERT_TRUE(info.has_value()) << info.error().description.toStdString();
    EXPECT_EQ(info->mode, "btc");
    EXPECT_EQ(info->petScale, 50);
    EXPECT_TRUE(info->codexCustomSprite);
    const auto sprite =
        completion<Result<QByteArray>>([](auto done) { DeviceClient::fetchSpriteRaw("codex", done); });
    ASSERT_TRUE(sprite.has_value());
    EXPECT_EQ(sprite->left(1), QByteArray(1, 1)); // the uploaded GIF's one frame
    EXPECT_EQ(completion<Outcome>([](auto done) { DeviceClient::resetSprite("codex", done); }), std::nullopt);
}

// The serial protocol against the stand-in clock (its rules against a bare pty: SerialLinkTest).
TEST(DeviceLinkWithSim, SerialLinkTakesCommands) {
    TempHome home;
    QTemporaryDir folder;
    Sim sim({"--serial", folder.path()});
    SerialLink link({}, {}, Clock::system(), folder.path());
    ASSERT_TRUE(waitUntil([&] { return link.tick(), link.linked(); })); // ticks faster than its timer
    EXPECT_EQ(completion<std::optional<Error>>([](auto done) { DeviceClient::setBrightness(40, done); }),
              std::nullopt);
    EXPECT_TRUE(sim.waitForLog(QRegularExpression(R"(#CMD \{"brightness":"40"\})"))) << sim.log.toStdString();
}

// The subnet scan finds the clock on a stand-in LAN; run by in-lan-namespace.sh only.
TEST(DeviceLinkWithSim, SubnetScanFindsTheClock) {
    if (qEnvironmentVariable("GLIMMET_TEST_LAN") != u"1")
        GTEST_SKIP() << "needs the stand-in LAN namespace";
    TempHome home;
    Sim sim({"--listen", "10.99.0.77:80"});
    QStringList progress;
    const auto found = completion<std::optional<QString>>(
        [&](auto done) { DeviceClient::autoPair([&](const QString& text) { progress << text; }, done); });
    EXPECT_EQ(found, "10.99.0.77");
    EXPECT_EQ(progress, QStringList{"扫描 10.99.0.1-254…"});
    EXPECT_EQ(Settings::deviceHost(), "10.99.0.77");
}

} // namespace
