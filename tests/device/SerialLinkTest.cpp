#include "device/SerialLink.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "device/DeviceClient.h"
#include "monitors/MonitorFakes.h"
#include "monitors/NetSpeedMonitor.h"
#include "status/ScriptedStatusService.h"
#include "support/FakeClock.h"
#include "support/TempHome.h"

#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

// The clock's end of a pty whose port end is linked into the serial folder.
struct Pty {
    int master = -1;
    Pty(const QString& folder, const QString& name) {
        int port = -1;
        ::openpty(&master, &port, nullptr, nullptr, nullptr);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        QFile::link(QString::fromLocal8Bit(::ttyname(port)), folder + "/" + name);
        ::close(port);
    }
    ~Pty() { unplug(); }
    void unplug() {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    void write(const QByteArray& bytes) {
        ASSERT_EQ(::write(master, bytes.data(), bytes.size()), bytes.size());
    }
    // Lines received since the last call.
    QList<QByteArray> lines() {
        char chunk[4096];
        for (ssize_t n; (n = ::read(master, chunk, sizeof chunk)) > 0;)
            received.append(chunk, n);
        QList<QByteArray> out = received.split('\n');
        received = out.takeLast();
        return out;
    }
    QByteArray received;
};

QList<QByteArray> keywords(const QList<QByteArray>& lines) {
    QList<QByteArray> out;
    for (const QByteArray& line : lines)
        out << line.split(' ').first();
    return out;
}

class SerialLinkTest : public testing::Test {
protected:
    TempHome home;
    QTemporaryDir folder;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<ScriptedStatusService> status = std::make_shared<ScriptedStatusService>(clock);
    std::shared_ptr<NetSpeedMonitor> net =
        std::make_shared<NetSpeedMonitor>(std::make_shared<FakeNetCounterSource>(), clock);
    QSet<QString> native;
    int enumerations = 0;
    SerialLink link{status, net, clock, folder.path(), [this] {
                        ++enumerations;
                        return native;
                    }};
    QStringList logged;

    void SetUp() override {
        Log::setSink([this](const QString& line) { logged << line; });
    }
    void TearDown() override { Log::setSink({}); }
    void tickAfter(double seconds) {
        clock->advance(seconds);
        link.tick();
    }
    QString path(const char* name) const { return folder.path() + "/" + name; }
};

TEST_F(SerialLinkTest, SilentPortIsLeftForTheNext) {
    Pty silent(folder.path(), "ttyUSB-a"), clockPort(folder.path(), "ttyUSB-b");
    Pty other(folder.path(), "ttyS0");
    link.tick();
    EXPECT_EQ(link.portPath(), path("ttyUSB-a"));
    for (double t = 0.25; t <= 30; t += 0.25)
        tickAfter(0.25);
    EXPECT_EQ(keywords(silent.lines()), QList<QByteArray>(10, "#HELLO"));
    tickAfter(0.25);
    EXPECT_EQ(link.portPath(), "");
    link.tick();
    EXPECT_EQ(link.portPath(), path("ttyUSB-b"));
    EXPECT_EQ(logged,
              (QStringList{"[serial] trying " + path("ttyUSB-a"), "[serial] closed " + path("ttyUSB-a"),
                           "[serial] trying " + path("ttyUSB-b")}));

    tickAfter(1);
    clockPort.write("#DEVICE {\"ip\":\"10.99.0.77\"}\n");
    tickAfter(1);
    EXPECT_TRUE(link.linked());
    EXPECT_EQ(logged.last(), "[serial] linked " + path("ttyUSB-b") + ": #DEVICE {\"ip\":\"10.99.0.77\"}");
    const auto linking = clockPort.lines();
    EXPECT_EQ(keywords(linking), (QList<QByteArray>{"#HELLO", "#STATUS", "#NET"}));
    EXPECT_EQ(linking[1], "#STATUS " + status->snapshot(false).jsonData());
    tickAfter(1.9);
    EXPECT_EQ(clockPort.lines(), QList<QByteArray>{});
    tickAfter(8.2);
    EXPECT_EQ(keywords(clockPort.lines()), (QList<QByteArray>{"#GETINFO", "#STATUS", "#NET"}));
}

TEST_F(SerialLinkTest, ClockLines) {
    const QByteArray big = "#DEVICE {\"ip\":\"" + QByteArray(SerialLink::receiveCap, 'x') + "\"}\n";
    const struct {
        QList<QByteArray> chunks;
        bool links;
        QString lastSeen;
    } cases[] = {
        {{"#STATUS {}\n  #DEV", "ICE {\"ip\":\"10.0.0.7\"}\r", "\n"}, true, "10.0.0.7"},
        {{"#DEVICE {\"ip\":\"0.0.0.0\"}\n"}, true, ""},
        {{"\t#DEVICE\r\n"}, true, ""},
        {{"#DEVICE {\"ip\":\"10.0.0.8\"}"}, false, ""},
        {{"#DEVICE {\"ip\":\"\xff\"}\n", "#NET {}\n"}, false, ""},
        {{big.left(8000), big.mid(8000, 8000), big.mid(16000)}, false, ""},
    };
    for (const auto& c : cases) {
        Settings::setDeviceLastSeen("");
        Pty port(folder.path(), "ttyUSB0");
        link.tick();
        for (const QByteArray& chunk : c.chunks) {
            port.write(chunk);
            tickAfter(0.25);
        }
        EXPECT_EQ(link.linked(), c.links) << c.chunks.first().left(40).constData();
        EXPECT_EQ(Settings::deviceLastSeen(), c.lastSeen) << c.chunks.first().left(40).constData();
        port.unplug();
        link.tick();
        EXPECT_EQ(link.portPath(), "");
        QFile::remove(path("ttyUSB0"));
    }
}

TEST_F(SerialLinkTest, CommandsTravelOverTheLink) {
    Pty port(folder.path(), "ttyUSB0");
    link.tick();
    EXPECT_FALSE(link.sendCommand({{"display", "net"}}));
    port.write("#DEVICE {\"brightness\":30}\n");
    tickAfter(0.25);
    port.lines();
    std::optional<Error> error = Error{};
    DeviceClient::setPetAppearance("classic", 85, [&](std::optional<Error> e) { error = e; });
    DeviceClient::setBrightness(40, [](std::optional<Error>) {});
    EXPECT_TRUE(waitUntil([&] { return !error; }));
    EXPECT_EQ(port.lines(), (QList<QByteArray>{R"(#CMD {"pet_preset":"classic","pet_scale":"85"})",
                                               R"(#CMD {"brightness":"40"})"}));
    ASSERT_TRUE(DeviceClient::currentWiredInfo());
    EXPECT_EQ(DeviceClient::currentWiredInfo()->brightness, 30);
    EXPECT_TRUE(DeviceClient::currentWiredInfo()->wired);

    port.unplug();
    link.tick();
    EXPECT_EQ(logged.last(), "[serial] closed " + path("ttyUSB0"));
    EXPECT_FALSE(DeviceClient::currentWiredInfo());
    QFile::remove(path("ttyUSB0"));
    Pty replug(folder.path(), "ttyUSB1");
    link.tick();
    EXPECT_EQ(link.portPath(), path("ttyUSB1"));
}

TEST_F(SerialLinkTest, SlowReaderGetsWholeLines) {
    Pty port(folder.path(), "ttyUSB0");
    link.tick();
    port.write("#DEVICE\n");
    for (int i = 0; i < 400; ++i)
        tickAfter(2.1);
    QList<QByteArray> lines;
    for (int i = 0; i < 100; ++i) {
        lines += port.lines();
        link.tick();
    }
    ASSERT_GT(lines.size(), 20);
    for (const QByteArray& line : lines) {
        const QByteArray json = line.mid(line.indexOf(' ') + 1);
        EXPECT_TRUE(line == "#HELLO" || line == "#GETINFO" || QJsonDocument::fromJson(json).isObject())
            << line.left(60).constData();
    }
}

TEST_F(SerialLinkTest, UsbIdsReadOnlyWhenTheFolderChanges) {
    Pty port(folder.path(), "ttyACM3");
    const auto settle = [&] {
        const timespec old[2] = {{1'000'000'000 + enumerations, 0}, {1'000'000'000 + enumerations, 0}};
        ::utimensat(AT_FDCWD, folder.path().toLocal8Bit().constData(), old, 0);
    };
    settle();
    for (int i = 0; i < 8; ++i)
        link.tick();
    EXPECT_EQ(enumerations, 1);
    EXPECT_EQ(link.portPath(), "");

    native = {path("ttyACM3")};
    Pty other(folder.path(), "ttyS1");
    settle();
    for (int i = 0; i < 8; ++i)
        link.tick();
    EXPECT_EQ(enumerations, 2);
    EXPECT_EQ(link.portPath(), path("ttyACM3"));
}

} // namespace
