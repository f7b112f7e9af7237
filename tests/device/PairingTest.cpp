#include "common/Log.h"
#include "common/Settings.h"
#include "device/Await.h"
#include "device/DeviceClient.h"
#include "support/FakeClock.h"
#include "support/FakeHttpServer.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

using namespace glimmet;
using namespace glimmet::test;

namespace {

TEST(LocalIPv4, InterfacePreference) {
    const struct {
        QList<InterfaceAddress> addresses;
        QString defaultRoute;
        std::optional<QString> expected;
    } cases[] = {
        {{{"wlan0", "192.168.1.4"}, {"en0", "10.0.0.2"}, {"en0", "10.0.0.3"}}, "wlan0", "10.0.0.2"},
        {{{"docker0", "172.17.0.1"}, {"wlan0", "192.168.1.4"}}, "wlan0", "192.168.1.4"},
        {{{"docker0", "172.17.0.1"}, {"wlan0", "192.168.1.4"}}, "", "172.17.0.1"},
        {{}, "wlan0", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ((NetworkInterfaces{c.addresses, c.defaultRoute}.preferredIPv4()), c.expected);
    const QByteArray routes = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n"
                              "eth1\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\n"
                              "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\n";
    EXPECT_EQ(NetworkInterfaces::defaultRouteInterfaceIn(routes), "wlan0");
}

// A stand-in LAN: probes are held until the test answers them, and an answer is "a clock"
// for the addresses in `clocks`.
class PairingTest : public testing::Test {
protected:
    TempHome home;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::mutex lock;
    QStringList probed;
    QList<std::pair<QString, std::function<void(bool)>>> pending;
    int inFlight = 0, maxInFlight = 0;
    std::optional<qsizetype> probedAtFirstClock;
    QStringList clocks;

    void SetUp() override {
        DeviceClient::setClock(clock);
        DeviceClient::setNetworkInterfaceSource([] {
            return NetworkInterfaces{{{"eth0", "10.0.0.5"}}, "eth0"};
        });
        DeviceClient::setProbe([this](const QString& ip, double, std::function<void(bool)> verified) {
            std::lock_guard guard(lock);
            probed << ip;
            pending.append({ip, std::move(verified)});
            maxInFlight = std::max(maxInFlight, ++inFlight);
        });
    }
    void TearDown() override { DeviceClient::setClock(Clock::system()); }

    // Answers the first held probe; false when none is held.
    bool answerOne() {
        std::unique_lock guard(lock);
        if (pending.isEmpty())
            return false;
        auto [ip, verified] = pending.takeFirst();
        --inFlight;
        if (clocks.contains(ip) && !probedAtFirstClock)
            probedAtFirstClock = probed.size();
        guard.unlock();
        verified(clocks.contains(ip));
        return true;
    }
    // Answers held probes, in order, until `done` holds.
    template <class F> void answerUntil(F done) {
        waitUntil([&] {
            while (answerOne()) {
            }
            return done();
        });
    }
    std::optional<QString> pair(QStringList* progress = nullptr) {
        std::optional<std::optional<QString>> result;
        DeviceClient::autoPair([&](const QString& text) { progress ? progress->append(text) : void(); },
                               [&](std::optional<QString> found) { result = found; });
        answerUntil([&] { return result.has_value(); });
        EXPECT_TRUE(result);
        return result.value_or(std::nullopt);
    }
};

TEST_F(PairingTest, RememberedAddressesFirstOnce) {
    const struct {
        QString lastSeen, host;
        QStringList firstProbes;
    } cases[] = {
        {"10.0.0.9", "10.0.0.9", {"10.0.0.9", "10.0.0.1"}},
        {"10.0.0.9", " 192.168.4.7:80\n", {"10.0.0.9", "192.168.4.7", "10.0.0.1"}},
        {"", "http://192.168.4.7:8080", {"192.168.4.7:8080", "10.0.0.1"}},
        {"", "", {"10.0.0.1", "10.0.0.2"}},
    };
    for (const auto& c : cases) {
        Settings::setDeviceLastSeen(c.lastSeen);
        Settings::setDeviceHost(c.host);
        probed.clear();
        clocks = {c.firstProbes.last()};
        EXPECT_EQ(pair(), c.firstProbes.last());
        EXPECT_EQ(probed.mid(0, c.firstProbes.size()), c.firstProbes);
        EXPECT_EQ(Settings::deviceHost(), c.firstProbes.last());
    }
}

TEST_F(PairingTest, ScanSkipsOwnAddressAndStopsAtFirstClock) {
    QStringList progress;
    EXPECT_EQ(pair(&progress), std::nullopt);
    EXPECT_EQ(progress, QStringList{"扫描 10.0.0.1-254…"});
    EXPECT_EQ(probed.size(), 253);
    EXPECT_FALSE(probed.contains("10.0.0.5"));
    EXPECT_EQ(maxInFlight, 32);

    probed.clear();
    clocks = {"10.0.0.40", "10.0.0.41"};
    EXPECT_EQ(pair(), "10.0.0.40");
    EXPECT_EQ(Settings::deviceHost(), "10.0.0.40");
    // Probes already issued when the clock answered still end; none start after it.
    // (One probe may be on its way out as the answer arrives.)
    ASSERT_TRUE(probedAtFirstClock);
    EXPECT_LE(probed.size(), *probedAtFirstClock + 1);
    EXPECT_LT(probed.size(), 253);
}

TEST_F(PairingTest, RepairDecision) {
    FakeHttpServer device;
    device.setResponse("/api/bridge", {200, "ok"});
    QStringList logged;
    Log::setSink([&](const QString& line) { logged << line; });
    clocks = {"127.0.0.1:" + QString::number(device.port())};
    const struct {
        double pollAge, sinceLastRepair;
        QByteArray info;
        bool repairs, pushes;
    } cases[] = {
        {180, 1000, R"({"mode":"auto","sprite_rev":0,"bridge":"","last_update_s":-1})", false, false},
        {181, 1000, R"({"mode":"auto","sprite_rev":0,"bridge":"x","last_update_s":45})", true, false},
        {1000, 300, R"({"mode":"auto","sprite_rev":0,"bridge":"","last_update_s":-1})", false, false},
        {1000, 301, R"({"mode":"auto","sprite_rev":0,"bridge":"x","last_update_s":61})", true, true},
        {1000, 1000, R"({"mode":"auto","sprite_rev":0,"bridge":"x","last_update_s":-1})", true, true},
        {1000, 1000, R"({"mode":"auto","sprite_rev":0,"bridge":"","last_update_s":45})", true, true},
    };
    for (const auto& c : cases) {
        device.setJson("/api/info", c.info);
        Settings::setDeviceHost(clocks.first());
        probed.clear();
        logged.clear();
        clock->advance(c.sinceLastRepair);
        DeviceClient::setDevicePollAt(clock->now() - c.pollAge);
        DeviceClient::healPairingIfNeeded(8765);
        answerUntil([&] { return !DeviceClient::healInFlight() && (!c.pushes || !logged.isEmpty()); });
        EXPECT_EQ(!probed.isEmpty(), c.repairs) << c.info.constData();
        EXPECT_EQ(logged,
                  c.pushes ? QStringList{"[pair] pushed bridge 10.0.0.5:8765 to " + clocks.first() + ": ok"}
                           : QStringList{})
            << c.info.constData();
        if (!c.repairs)
            clock->advance(-c.sinceLastRepair);
    }
    EXPECT_EQ(device.requests("/api/bridge").value(0).body, "host=10.0.0.5%3A8765");
    Log::setSink({});
}

} // namespace
