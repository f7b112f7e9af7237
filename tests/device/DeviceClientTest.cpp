#include "device/DeviceClient.h"
#include "common/Log.h"
#include "common/SerialQueue.h"
#include "common/Settings.h"
#include "monitors/MonitorFakes.h"
#include "support/FakeClock.h"
#include "support/FakeHttpServer.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace glimmet;
using namespace glimmet::test;

namespace {

using Outcome = std::optional<Error>;

TEST(DecodeInfo, DefaultsAndTypes) {
    const auto decoded = [](const char* json) { return decodeInfo(json).value(); };
    const DeviceInfo sized = decoded(R"({"mode":"clock","pet_scale":50,"sprite_w":100})");
    EXPECT_EQ((std::tuple(sized.effective, sized.spriteDisplayW, sized.spriteDisplayH, sized.claudeDisplayW,
                          sized.codexDisplayH)),
              std::tuple("clock", 50, 60, 94, 102));
    EXPECT_EQ(decoded(R"({"pet_scale":25,"sprite_w":2})").spriteDisplayW, 1);
    EXPECT_EQ(decoded(R"({"last_update_s":12.9})").lastUpdateS, 12);
    EXPECT_EQ(decoded(R"({"last_update_s":"12.9","mode":7,"claude":[1]})"), DeviceInfo{});
    EXPECT_TRUE(decoded(R"({"claude":{"custom_sprite":1}})").claudeCustomSprite);
    for (const QByteArray bad : {"", "[1]", "{bad"})
        EXPECT_FALSE(decodeInfo(bad)) << bad.constData();
}

TEST(DeviceClientWire, BaseUrlFromSetting) {
    TempHome home;
    const std::pair<QString, QString> cases[] = {{" 192.168.4.7 \n", "http://192.168.4.7"},
                                                 {"https://192.168.4.7", "https://192.168.4.7"},
                                                 {" \t\n", ""}};
    for (const auto& [stored, base] : cases) {
        Settings::setDeviceHost(stored);
        EXPECT_EQ(DeviceClient::baseURL().value_or(QUrl()).toString(), base) << stored.toStdString();
    }
}

TEST(DeviceClientWire, Bodies) {
    EXPECT_EQ(DeviceClient::formBody({{"t", "a b&c=d/é~_.中!"}, {"host", "10.99.0.2:8765"}}),
              "host=10.99.0.2%3A8765&t=a%20b%26c%3Dd%2Fé~_.中%21");
    const QByteArray gif("GIF\0\r\n", 6);
    EXPECT_EQ(DeviceClient::multipartBody(gif, "glimmet-B"),
              "--glimmet-B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"pet.gif\"\r\n"
              "Content-Type: image/gif\r\n\r\n" +
                  gif + "\r\n--glimmet-B--\r\n");
}

class DeviceClientHttp : public testing::Test {
protected:
    TempHome home;
    FakeHttpServer clock;
    void SetUp() override { Settings::setDeviceHost(clock.baseUrl()); }
    Result<DeviceInfo> info() { return completion<Result<DeviceInfo>>(DeviceClient::fetchInfo); }
};

TEST_F(DeviceClientHttp, SettingsArePostedAsForms) {
    clock.setResponse("/api/brightness", {204});
    clock.setResponse("/api/display", {500, "busy"});
    EXPECT_EQ(completion<Outcome>([](auto done) { DeviceClient::setBrightness(40, done); }), std::nullopt);
    const auto failed = completion<Outcome>([](auto done) { DeviceClient::setDisplayMode("net", done); });
    EXPECT_EQ(failed.value_or(Error{}).description, QStringLiteral("设备返回 HTTP 500 busy"));
    clock.setResponse("/api/bridge", {500, QByteArray(150, 'a') + QByteArray(100, 'b')});
    const auto quoted = completion<Outcome>([](auto done) { DeviceClient::setBridgeHost("h", done); });
    EXPECT_EQ(quoted.value_or(Error{}).description,
              "设备返回 HTTP 500 " + QString(150, 'a') + QString(50, 'b') + "…");
    clock.setResponse("/api/pet", {200, QByteArray(64 * 1024 + 1, ' ')});
    const auto huge =
        completion<Outcome>([](auto done) { DeviceClient::setPetAppearance("classic", 85, done); });
    EXPECT_EQ(huge.value_or(Error{}).domain, "HttpClient");
    EXPECT_EQ(clock.requests("/api/brightness").value(0).body, "level=40");
    EXPECT_EQ(clock.requests("/api/brightness").value(0).header("Content-Type"),
              "application/x-www-form-urlencoded");
}

TEST_F(DeviceClientHttp, InfoPreferenceOrder) {
    clock.setJson("/api/info", R"({"mode":"btc"})", 500);
    EXPECT_EQ(info().value_or(DeviceInfo{}).mode, "btc");
    clock.setJson("/api/info", "<html>");
    EXPECT_EQ(info().error(), DeviceClient::badResponseError());
    Settings::setDeviceHost("127.0.0.1:1");
    EXPECT_EQ(info().error().domain, "HttpClient");
    Settings::setDeviceHost("");
    EXPECT_EQ(info().error(), DeviceClient::noHostError());
}

// A stand-in LAN seen from 10.0.0.5: each probe is answered later on the main thread, and
// the addresses in `clocks` answer as clocks.
class Pairing : public testing::Test {
protected:
    TempHome home;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::mutex lock;
    QStringList probed, clocks, progress;
    int inFlight = 0, maxInFlight = 0;
    qsizetype probedAtFirstClock = 0;

    void SetUp() override {
        DeviceClient::setClock(clock);
        DeviceClient::setNetworkInterfaceSource([] {
            return NetworkInterfaces{{{"eth0", "10.0.0.5"}}, "eth0"};
        });
        DeviceClient::setProbe([this](const QString& ip, double, std::function<void(bool)> verified) {
            std::lock_guard guard(lock);
            probed << ip;
            maxInFlight = std::max(maxInFlight, ++inFlight);
            runOnMain([=, this] {
                std::unique_lock answering(lock);
                --inFlight;
                if (clocks.contains(ip) && !probedAtFirstClock)
                    probedAtFirstClock = probed.size();
                answering.unlock();
                verified(clocks.contains(ip));
            });
        });
    }
    std::optional<QString> pair() {
        return completion<std::optional<QString>>(
            [&](auto done) { DeviceClient::autoPair([&](const QString& text) { progress << text; }, done); });
    }
};

TEST_F(Pairing, RememberedAddressesFirstAndOnce) {
    const struct {
        QString lastSeen, host;
        QStringList probes; // the last one answers
    } cases[] = {{"10.0.0.9", "10.0.0.9", {"10.0.0.9", "10.0.0.1"}},
                 {"10.0.0.9", " 192.168.4.7:80\n", {"10.0.0.9", "192.168.4.7", "10.0.0.1"}},
                 {"", "http://192.168.4.7:8080", {"192.168.4.7:8080"}}};
    for (const auto& c : cases) {
        Settings::setDeviceLastSeen(c.lastSeen);
        Settings::setDeviceHost(c.host);
        probed.clear();
        clocks = {c.probes.last()};
        EXPECT_EQ(pair(), c.probes.last());
        EXPECT_EQ(probed.mid(0, c.probes.size()), c.probes);
        EXPECT_EQ(Settings::deviceHost(), c.probes.last());
    }
}

TEST_F(Pairing, ScanSkipsOwnAddressAndStopsAtFirstClock) {
    EXPECT_EQ(pair(), std::nullopt);
    EXPECT_EQ(progress, QStringList{"扫描 10.0.0.1-254…"});
    EXPECT_EQ(probed.size(), 253);
    EXPECT_FALSE(probed.contains("10.0.0.5"));
    EXPECT_LE(maxInFlight, 32);

    probed.clear();
    clocks = {"10.0.0.40", "10.0.0.41"};
    EXPECT_EQ(pair(), "10.0.0.40");
    EXPECT_EQ(Settings::deviceHost(), "10.0.0.40");
    // Nothing starts after the answer (but one probe may be on its way out as it arrives).
    EXPECT_LE(probed.size(), probedAtFirstClock + 1);
}

TEST_F(Pairing, RepairDecision) {
    FakeHttpServer device;
    device.setResponse("/api/bridge", {200});
    QStringList logged;
    Log::setSink([&](const QString& line) { logged << line; });
    clocks = {"127.0.0.1:" + QString::number(device.port())};
    const struct {
        double pollAge, sinceLastRepair;
        QByteArray bridge, lastUpdate;
        bool repairs, pushes;
    } cases[] = {{180, 1000, "", "-1", false, false}, {181, 1000, "x", "45", true, false},
                 {1000, 300, "", "-1", false, false}, {1000, 301, "x", "61", true, true},
                 {1000, 1000, "x", "-1", true, true}, {1000, 1000, "", "45", true, true}};
    for (const auto& c : cases) {
        device.setJson("/api/info", R"({"mode":"auto","sprite_rev":0,"bridge":")" + c.bridge +
                                        R"(","last_update_s":)" + c.lastUpdate + "}");
        Settings::setDeviceHost(clocks.first());
        probed.clear();
        logged.clear();
        clock->advance(c.sinceLastRepair);
        DeviceClient::setDevicePollAt(clock->now() - c.pollAge);
        DeviceClient::healPairingIfNeeded(8765);
        waitUntil([&] { return !DeviceClient::healInFlight() && (!c.pushes || !logged.isEmpty()); });
        EXPECT_EQ(!probed.isEmpty(), c.repairs) << c.pollAge << " " << c.sinceLastRepair;
        EXPECT_EQ(logged,
                  c.pushes ? QStringList{"[pair] pushed bridge 10.0.0.5:8765 to " + clocks.first() + ": ok"}
                           : QStringList{});
        clock->advance(c.repairs ? 0 : -c.sinceLastRepair); // the next row counts from the last repair
    }
    EXPECT_EQ(device.requests("/api/bridge").value(0).body, "host=10.0.0.5%3A8765");
    Log::setSink({});
}

} // namespace
