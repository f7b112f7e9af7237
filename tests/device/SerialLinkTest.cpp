#include "device/SerialLink.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "device/DeviceClient.h"
#include "monitors/MonitorFakes.h"
#include "monitors/NetSpeedMonitor.h"
#include "status/ScriptedStatusService.h"
#include "support/FakeClock.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace glimmet;
using namespace glimmet::test;

// A clock that writes without pause: read() of the port it is plugged into never runs dry (for
// 10,000 reads, then as usual). Every read of this process goes through here.
std::atomic<dev_t> floodedPort{0};
std::atomic<int> floodReads{0};
extern "C" ssize_t read(int fd, void* buffer, size_t size) {
    static const auto next = reinterpret_cast<ssize_t (*)(int, void*, size_t)>(::dlsym(RTLD_NEXT, "read"));
    struct stat st {};
    if (floodedPort && ::fstat(fd, &st) == 0 && st.st_rdev == floodedPort && floodReads < 10000) {
        ++floodReads;
        std::memset(buffer, 'x', size);
        return ssize_t(size);
    }
    return next(fd, buffer, size);
}

namespace {

// The clock's end of a pty whose port end is linked into the serial folder as `name`.
struct Pty {
    int master = -1;
    QByteArray received;
    Pty(const QString& folder, const QString& name) {
        int port = -1;
        ::openpty(&master, &port, nullptr, nullptr, nullptr);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        QFile::link(QString::fromLocal8Bit(::ttyname(port)), folder + "/" + name);
        ::close(port);
    }
    ~Pty() { ::close(master); }
    void write(const QByteArray& b) { EXPECT_EQ(::write(master, b.data(), b.size()), b.size()); }
    // The lines received since the last call (only their keywords unless `whole`).
    QList<QByteArray> lines(bool whole = false) {
        char chunk[4096];
        for (ssize_t n; (n = ::read(master, chunk, sizeof chunk)) > 0;)
            received.append(chunk, n);
        QList<QByteArray> out = received.split('\n');
        received = out.takeLast();
        for (QByteArray& line : out)
            line = whole ? line : line.split(' ').first();
        return out;
    }
};

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
    SerialLink link{status, net, clock, folder.path(), [this] { return ++enumerations, native; }};
    QStringList logged;

    void SetUp() override {
        Log::setSink([this](const QString& line) { logged << line; });
    }
    void TearDown() override { Log::setSink({}); }
    void tickAfter(double seconds, int times = 1) {
        for (int i = 0; i < times; ++i, link.tick())
            clock->advance(seconds);
    }
    QString path(const char* name) const { return folder.path() + "/" + name; }
};

TEST_F(SerialLinkTest, SilentPortIsLeftForTheNext) {
    Pty silent(folder.path(), "ttyUSB-a"), other(folder.path(), "ttyS0");
    auto clockPort = std::make_unique<Pty>(folder.path(), "ttyUSB-b");
    tickAfter(0.25, 123);
    EXPECT_EQ(silent.lines(), QList<QByteArray>(10, "#HELLO"));
    EXPECT_EQ(logged,
              (QStringList{"[serial] trying " + path("ttyUSB-a"), "[serial] closed " + path("ttyUSB-a"),
                           "[serial] trying " + path("ttyUSB-b")}));
    EXPECT_FALSE(link.sendCommand({{"display", "net"}}));

    clockPort->write("#DEVICE {\"ip\":\"10.99.0.77\",\"brightness\":30}\n");
    tickAfter(1);
    EXPECT_EQ(logged.last(),
              "[serial] linked " + path("ttyUSB-b") + ": #DEVICE {\"ip\":\"10.99.0.77\",\"brightness\":30}");
    const auto linking = clockPort->lines(true);
    EXPECT_EQ(linking.value(1), "#STATUS " + status->snapshot(false).jsonData());
    EXPECT_TRUE(QJsonDocument::fromJson(linking.value(2).mid(5)).object().contains("rx_bps"));
    tickAfter(1.9);
    tickAfter(8.2);
    EXPECT_EQ(clockPort->lines(), (QList<QByteArray>{"#GETINFO", "#STATUS", "#NET"}));

    std::optional<Error> error = Error{};
    DeviceClient::setPetAppearance("classic", 85, [&](std::optional<Error> e) { error = e; });
    EXPECT_TRUE(waitUntil([&] { return !error; }));
    EXPECT_EQ(clockPort->lines(true), QList<QByteArray>{R"(#CMD {"pet_preset":"classic","pet_scale":"85"})"});
    EXPECT_EQ(DeviceClient::currentWiredInfo().value_or(DeviceInfo{}).brightness, 30);
    clockPort.reset();
    tickAfter(0.25);
    EXPECT_EQ(logged.last(), "[serial] closed " + path("ttyUSB-b"));
    EXPECT_FALSE(DeviceClient::currentWiredInfo());
}

TEST_F(SerialLinkTest, ClockLines) {
    const QByteArray big = "#DEVICE {\"ip\":\"" + QByteArray(SerialLink::receiveCap, 'x') + "\"}\n";
    const struct {
        QList<QByteArray> reads;
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
        QFile::remove(path("ttyUSB0"));
        Pty port(folder.path(), "ttyUSB0");
        tickAfter(0.25, 2); // lets go of the previous row's port, opens this one
        for (const QByteArray& chunk : c.reads) {
            port.write(chunk);
            tickAfter(0.25);
        }
        EXPECT_EQ(link.linked(), c.links) << c.reads.first().left(40).constData();
        EXPECT_EQ(Settings::deviceLastSeen(), c.lastSeen) << c.reads.first().left(40).constData();
        tickAfter(30.25); // closes an unanswered port; a linked one stays
        EXPECT_EQ(link.portPath().isEmpty(), !c.links);
    }
}

TEST_F(SerialLinkTest, SlowReaderGetsWholeLines) {
    Pty port(folder.path(), "ttyUSB0");
    link.tick();
    port.write("#DEVICE\n");
    tickAfter(2.1, 400);
    QList<QByteArray> lines;
    for (int i = 0; i < 100; ++i, link.tick())
        lines += port.lines(true);
    ASSERT_GT(lines.size(), 20);
    // 350 KB of pushes wait behind a clock that stopped reading: the link holds back at most
    // 64 KiB of them (and the pty some more); the rest are dropped whole.
    qsizetype received = 0;
    for (const QByteArray& line : lines)
        received += line.size() + 1;
    EXPECT_LT(received, 128 * 1024);
    for (const QByteArray& line : lines)
        EXPECT_TRUE(line.startsWith("#") &&
                    (!line.contains('{') || QJsonDocument::fromJson(line.mid(line.indexOf(' '))).isObject()))
            << line.left(60).constData();
}

TEST_F(SerialLinkTest, SleepsUntilThePortFolderChanges) {
    struct stat st {};
    ::stat(folder.path().toLocal8Bit().constData(), &st);
    clock->set(double(st.st_mtim.tv_sec) + 10); // the folder settled long ago
    link.start();
    EXPECT_FALSE(link.ticking()) << "no port to talk to";
    auto port = std::make_unique<Pty>(folder.path(), "ttyUSB0");
    ASSERT_TRUE(waitUntil([&] { return link.portPath() == path("ttyUSB0"); }));
    EXPECT_TRUE(link.ticking());
    port.reset();
    QFile::remove(path("ttyUSB0"));
    ASSERT_TRUE(waitUntil([&] { return !link.ticking(); }));
    EXPECT_EQ(logged.last(), "[serial] closed " + path("ttyUSB0"));
    // A folder made again is watched again.
    ASSERT_TRUE(QDir().rmdir(folder.path()) && QDir().mkdir(folder.path()));
    waitUntil([] { return false; }, 100);
    EXPECT_FALSE(link.ticking());
    port = std::make_unique<Pty>(folder.path(), "ttyUSB1");
    EXPECT_TRUE(waitUntil([&] { return link.portPath() == path("ttyUSB1"); }));
}

// USB ids are read when the names in the folder change, and once more when the change has settled
// (a port's ids may be published a moment after its device node); at no other time.
TEST_F(SerialLinkTest, UsbIdsReadWhenTheFolderChangesAndOnceMoreWhenItSettles) {
    const auto nowTheFolderChanged = [this] {
        struct stat st {};
        ::stat(folder.path().toLocal8Bit().constData(), &st);
        clock->set(double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9);
    };
    Pty other(folder.path(), "ttyS0");
    nowTheFolderChanged();
    tickAfter(0.25, 16);
    EXPECT_EQ(enumerations, 2);
    Pty port(folder.path(), "ttyACM0");
    nowTheFolderChanged();
    tickAfter(0.25);
    EXPECT_EQ(enumerations, 3);
    native = {path("ttyACM0")};
    tickAfter(0.25, 7); // 2 s after the change
    EXPECT_EQ(link.portPath(), "");
    tickAfter(0.25);
    EXPECT_EQ(enumerations, 4);
    EXPECT_EQ(link.portPath(), path("ttyACM0"));
}

TEST_F(SerialLinkTest, AFloodingClockCannotHoldTheMainThread) {
    Pty port(folder.path(), "ttyUSB0");
    link.tick();
    ASSERT_EQ(link.portPath(), path("ttyUSB0"));
    struct stat st {};
    ::stat(path("ttyUSB0").toLocal8Bit().constData(), &st);
    floodedPort = st.st_rdev;
    link.tick();
    floodedPort = 0;
    EXPECT_LT(floodReads, 10000) << "the tick returned while the clock still wrote";
    EXPECT_GT(floodReads, 0);
}

} // namespace
