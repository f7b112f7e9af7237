// Runs under dbus-run-session: fake players are exported on the private session bus, each
// on its own connection and thread, and the source under test asks them over the real bus.
#include "monitors/MprisNowPlayingSource.h"
#include "common/SerialQueue.h"
#include "monitors/MonitorFakes.h"
#include "monitors/NowPlayingMonitor.h"
#include "support/TempHome.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QUrl>

#include <gtest/gtest.h>

#include <map>

using namespace glimmet;
using namespace glimmet::test;

namespace {

// One MPRIS player: answers Properties.GetAll of the Player interface with what the test set,
// or never answers at all when hung.
class FakePlayer final : public QDBusVirtualObject {
public:
    QVariantMap properties;
    bool hung = false;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != u"org.freedesktop.DBus.Properties" || message.member() != u"GetAll")
            return false;
        if (!hung)
            connection.send(message.createReply(QVariant::fromValue(properties)));
        return true;
    }
};

// Players on the session bus, served on their own thread so that the test thread may block
// in the source's calls.
class FakePlayers {
public:
    ~FakePlayers() {
        for (auto it = players.begin(); it != players.end();)
            remove((it++)->first);
    }

    void add(const QString& name, QVariantMap properties, bool hung = false) {
        queue.sync([&] {
            const QString connectionName = "fake-player-" + name;
            QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName);
            auto* player = new FakePlayer;
            player->properties = std::move(properties);
            player->hung = hung;
            ASSERT_TRUE(bus.registerVirtualObject("/org/mpris/MediaPlayer2", player));
            ASSERT_TRUE(bus.registerService("org.mpris.MediaPlayer2." + name));
            players[name] = player;
        });
    }

    void remove(const QString& name) {
        queue.sync([&] {
            const QString connectionName = "fake-player-" + name;
            QDBusConnection bus(connectionName);
            bus.unregisterService("org.mpris.MediaPlayer2." + name);
            bus.unregisterObject("/org/mpris/MediaPlayer2");
            delete players[name];
            players.erase(name);
            QDBusConnection::disconnectFromBus(connectionName);
        });
    }

private:
    SerialQueue queue{QStringLiteral("fake-players")};
    std::map<QString, FakePlayer*> players;
};

QVariantMap playerState(const QString& status, const QString& title,
                        const QVariant& artist = QStringList{"Artist"}, const QString& artUrl = {}) {
    QVariantMap metadata{
        {"mpris:trackid", QVariant::fromValue(QDBusObjectPath("/track/1"))},
        {"xesam:title", title},
        {"xesam:artist", artist},
        {"xesam:album", "Album"},
        {"mpris:length", qlonglong(200'000'000)},
    };
    if (!artUrl.isEmpty())
        metadata.insert("mpris:artUrl", artUrl);
    return {
        {"PlaybackStatus", status},
        {"Metadata", metadata},
        {"Position", qlonglong(50'500'000)},
        {"Rate", 1.0},
        {"CanPlay", true},
    };
}

class MprisNowPlayingSourceTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            << "run this suite under dbus-run-session (ctest does)";
    }

    TempHome home;
    FakePlayers players;
    MprisNowPlayingSource source;
};

TEST_F(MprisNowPlayingSourceTest, ReportsThePlayingPlayer) {
    QImage image(4, 4, QImage::Format_RGB32);
    image.fill(Qt::red);
    const QByteArray art = png(image);
    const QString artPath = home.write("cover.png", art);
    players.add("a_paused", playerState("Paused", "Paused Song"));
    players.add("b_playing", playerState("Playing", "  Song  ", QStringList{"One", " ", "Two"},
                                         QUrl::fromLocalFile(artPath).toString()));
    players.add("c_stopped", playerState("Stopped", "Old Song"));

    const auto info = source.probe();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->title, "Song");
    EXPECT_EQ(info->artist, "One, Two");
    EXPECT_EQ(info->album, "Album");
    EXPECT_TRUE(info->playing);
    EXPECT_DOUBLE_EQ(info->elapsed, 50.5);
    EXPECT_DOUBLE_EQ(info->duration, 200);
    EXPECT_EQ(info->artwork, art);
}

TEST_F(MprisNowPlayingSourceTest, ChoosesAmongPlayers) {
    const struct {
        const char* what;
        std::vector<std::pair<QString, QVariantMap>> players;
        QString title;
        bool playing;
    } cases[] = {
        {"no player", {}, "", false},
        {"a paused player when none plays",
         {{"p1", playerState("Paused", "Paused Song")}},
         "Paused Song",
         false},
        {"a playing one over a paused one",
         {{"p1", playerState("Paused", "Paused Song")}, {"p2", playerState("Playing", "Song")}},
         "Song",
         true},
        {"stopped players count as nothing", {{"p1", playerState("Stopped", "Song")}}, "", false},
        {"a playing player at rate 0 is not playing",
         {{"p1",
           [] {
               auto s = playerState("Playing", "Song");
               s["Rate"] = 0.0;
               return s;
           }()}},
         "Song",
         false},
        {"a single artist string", {{"p1", playerState("Playing", "Song", QString("Solo"))}}, "Song", true},
    };
    for (const auto& c : cases) {
        FakePlayers scene;
        for (const auto& [name, state] : c.players)
            scene.add(name, state);
        const auto info = source.probe();
        ASSERT_TRUE(info) << c.what;
        EXPECT_EQ(info->title, c.title) << c.what;
        EXPECT_EQ(info->playing, c.playing) << c.what;
    }
}

TEST_F(MprisNowPlayingSourceTest, ToleratesMalformedPlayers) {
    // "good" sorts first and is paused: a playing odd player wins over it, others do not.
    const struct {
        const char* what;
        QVariantMap state;
        QString title;
        bool playing;
        double duration;
    } cases[] = {
        {"metadata is a string", {{"PlaybackStatus", "Playing"}, {"Metadata", "nonsense"}}, "", true, 0},
        {"wrong value types",
         {{"PlaybackStatus", "Playing"},
          {"Position", "soon"},
          {"Rate", "fast"},
          {"Metadata", QVariantMap{{"xesam:title", 42},
                                   {"xesam:artist", 7},
                                   {"mpris:length", "long"},
                                   {"mpris:artUrl", QStringList{"x"}}}}},
         "",
         true,
         0},
        {"status is a number", {{"PlaybackStatus", 3}}, "Good Song", false, 200},
        {"nothing at all", {}, "Good Song", false, 200},
    };
    for (const auto& c : cases) {
        FakePlayers scene;
        scene.add("odd", c.state);
        scene.add("good", playerState("Paused", "Good Song"));
        const auto info = source.probe();
        ASSERT_TRUE(info) << c.what;
        EXPECT_EQ(info->title, c.title) << c.what;
        EXPECT_EQ(info->playing, c.playing) << c.what;
        EXPECT_DOUBLE_EQ(info->duration, c.duration) << c.what;
        EXPECT_TRUE(info->artwork.isEmpty()) << c.what;
    }
}

TEST_F(MprisNowPlayingSourceTest, HungPlayerIsSkipped) {
    players.add("a_hung", playerState("Playing", "Never"), true);
    players.add("b_ok", playerState("Playing", "Song"));
    const auto info = source.probe();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->title, "Song");
}

TEST_F(MprisNowPlayingSourceTest, PlayerGone) {
    players.add("gone", playerState("Playing", "Song"));
    ASSERT_EQ(source.probe()->title, "Song");
    players.remove("gone");
    const auto info = source.probe();
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->title.isEmpty());
    EXPECT_FALSE(info->playing);
}

TEST(MprisWithoutBus, NoBusIsAnEmptyResult) {
    MprisNowPlayingSource source("unix:path=/nonexistent/glimmet-bus");
    const auto info = source.probe();
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->title.isEmpty());
    EXPECT_FALSE(info->playing);
}

TEST_F(MprisNowPlayingSourceTest, MonitorFollowsPlayAndPause) {
    QImage image(40, 20, QImage::Format_RGB32);
    image.fill(Qt::blue);
    const QString artPath = home.write("cover.png", png(image));
    const QString artUrl = QUrl::fromLocalFile(artPath).toString();
    players.add("player", playerState("Playing", "Song", QStringList{"Artist"}, artUrl));

    auto monitor = std::make_shared<NowPlayingMonitor>(std::make_shared<MprisNowPlayingSource>());
    monitor->start();
    ASSERT_TRUE(waitUntil([&] { return monitor->snapshot().playing; }));
    EXPECT_EQ(monitor->snapshot().title, "Song");
    EXPECT_EQ(monitor->coverRGB565().size(), 128 * 128 * 2);
    EXPECT_EQ(monitor->coverRGB565().left(2), QByteArray("\x00\x1F", 2));

    players.remove("player");
    players.add("player", playerState("Paused", "Song", QStringList{"Artist"}, artUrl));
    ASSERT_TRUE(waitUntil([&] { return !monitor->snapshot().playing; }));
    EXPECT_EQ(monitor->snapshot().title, "Song");
}

} // namespace
