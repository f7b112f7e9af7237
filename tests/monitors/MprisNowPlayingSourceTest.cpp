// Runs under dbus-run-session: fake players are exported on the private session bus, each
// on its own connection, and the source under test asks them over the real bus.
#include "monitors/MprisNowPlayingSource.h"
#include "common/SerialQueue.h"
#include "monitors/MonitorFakes.h"
#include "support/FakeHttpServer.h"
#include "support/TempHome.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFile>
#include <QUrl>

#include <gtest/gtest.h>

#include <attachedpictureframe.h>
#include <id3v2tag.h>
#include <mpegfile.h>

#include <map>

#include <sys/stat.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

// One MPRIS player: answers Properties.GetAll with `properties`, or never when `hung`.
struct FakePlayer final : QDBusVirtualObject {
    QVariantMap properties;
    bool hung = false;
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != u"GetAll")
            return false;
        if (!hung)
            connection.send(message.createReply(QVariant::fromValue(properties)));
        return true;
    }
};

// Players served on their own thread, so that the test thread may block in the source's
// calls; they leave the bus with this object. A player named "hung..." never answers.
struct FakePlayers {
    SerialQueue queue{QStringLiteral("fake-players")};
    std::map<QString, FakePlayer> players;

    FakePlayers(const std::vector<std::pair<QString, QVariantMap>>& states) {
        queue.sync([&] {
            for (const auto& [name, state] : states) {
                auto bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
                FakePlayer& player = players[name];
                player.properties = state;
                player.hung = name.startsWith(u"hung");
                ASSERT_TRUE(bus.registerVirtualObject("/org/mpris/MediaPlayer2", &player));
                ASSERT_TRUE(bus.registerService("org.mpris.MediaPlayer2." + name));
            }
        });
    }
    ~FakePlayers() {
        queue.sync([&] {
            for (const auto& [name, player] : players) {
                QDBusConnection(name).unregisterService("org.mpris.MediaPlayer2." + name);
                QDBusConnection(name).unregisterObject("/org/mpris/MediaPlayer2");
                QDBusConnection::disconnectFromBus(name);
            }
            players.clear();
        });
    }
};

QVariantMap player(const QString& status, const QString& title, const QString& artUrl = {}, double rate = 1.0,
                   const QVariant& artist = QStringList{"Artist"}, const QString& trackUrl = {}) {
    const QVariantMap metadata{{"xesam:title", title},   {"xesam:artist", artist},
                               {"xesam:album", "Album"}, {"mpris:length", 200'000'000LL},
                               {"mpris:artUrl", artUrl}, {"xesam:url", trackUrl}};
    return {{"PlaybackStatus", status}, {"Metadata", metadata}, {"Position", 50'500'000LL}, {"Rate", rate}};
}

// A short MP3 of silent frames whose ID3v2 tag holds a back cover, then a front cover; tagged
// with TagLib itself. Its file:// address.
QString taggedMp3(const QString& path, const QByteArray& back, const QByteArray& front) {
    const QByteArray frame = QByteArray::fromHex("fffb9064") + QByteArray(413, '\0'); // 128 kbit/s, 44.1 kHz
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(frame.repeated(8)) < 0 || !out.flush())
        return {};
    TagLib::MPEG::File file(QFile::encodeName(path).constData());
    using Picture = TagLib::ID3v2::AttachedPictureFrame;
    for (const auto& [type, bytes] : {std::pair{Picture::BackCover, back}, {Picture::FrontCover, front}}) {
        auto* picture = new Picture;
        picture->setType(type);
        picture->setPicture(TagLib::ByteVector(bytes.constData(), uint(bytes.size())));
        file.ID3v2Tag(true)->addFrame(picture);
    }
    return file.save() ? QUrl::fromLocalFile(path).toString() : QString();
}

QString summary(const NowPlayingInfo& i) {
    return QString("%1|%2|%3|%4|%5|%6")
        .arg(i.title, i.artist, i.album, i.playing ? "playing" : "-")
        .arg(i.elapsed)
        .arg(i.duration);
}

TEST(MprisNowPlayingSource, ReportsThePlayingElseAPausedPlayer) {
    ASSERT_FALSE(qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) << "run under dbus-run-session";
    TempHome home;
    FakeHttpServer server;
    const QByteArray art = "image bytes";
    server.setResponse("/art", FakeResponse{200, art});
    const auto file = [](const QString& path) { return QUrl::fromLocalFile(path).toString(); };
    const QString fifo = home.path() + "/fifo",
                  big = home.write("big", QByteArray(ArtworkFetcher::maxBytes + 1, 0));
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const QVariantMap full =
        player("Playing", " Song ", file(home.write("a.png", art)), 1, QStringList{"One", " ", "Two"});
    const QVariantMap playing = player("Playing", "Song"), paused = player("Paused", "Song"),
                      other = player("Paused", "Other"),
                      wrongTypes{{"PlaybackStatus", "Playing"},
                                 {"Rate", "fast"},
                                 {"Metadata", QVariantMap{{"xesam:title", 42}, {"xesam:artist", 7}}}};
    const QString tagged = taggedMp3(home.path() + "/tagged.mp3", "back cover", "front cover");
    const QVariantMap embedded = player("Playing", "Song", {}, 1, "Artist", tagged),
                      both = player("Playing", "Song", file(home.write("b.png", art)), 1, "Artist", tagged);
    const QString nothing = "|||-|0|0", song = "Song|Artist|Album|playing|50.5|200",
                  pausedSong = "Song|Artist|Album|-|50.5|200";
    // One source asks every scene in turn; the players of a scene are asked in name order.
    MprisNowPlayingSource source;
    source.callTimeoutMs = 200; // for the hung player
    const struct {
        const char* what;
        std::vector<std::pair<QString, QVariantMap>> players;
        QString info;
        QByteArray artwork;
    } scenes[] = {
        {"playing", {{"p", full}}, "Song|One, Two|Album|playing|50.5|200", art},
        {"player gone", {}, nothing},
        {"paused", {{"p", player("Paused", "Song", {}, 1, QString("Solo"))}}, "Song|Solo|Album|-|50.5|200"},
        {"a playing one over a paused one", {{"a", other}, {"b", playing}}, song},
        {"stopped is nothing", {{"p", player("Stopped", "Song")}}, nothing},
        {"rate 0 is not playing", {{"p", player("Playing", "Song", {}, 0)}}, pausedSong},
        {"a hung player is skipped", {{"hung", player("Playing", "Never")}, {"ok", playing}}, song},
        {"wrong value types", {{"a", other}, {"b", wrongTypes}}, "|||playing|0|0"},
        {"the first paused one; no properties", {{"a", paused}, {"b", {}}, {"c", other}}, pausedSong},
        {"downloaded art", {{"p", player("Playing", "Song", server.baseUrl() + "/art")}}, song, art},
        {"downloaded once", {{"p", player("Playing", "Song", server.baseUrl() + "/art")}}, song, art},
        {"too large a file", {{"p", player("Playing", "Song", file(big))}}, song},
        {"a FIFO is not read", {{"p", player("Playing", "Song", file(fifo))}}, song},
        {"the front cover in the track's tags", {{"p", embedded}}, song, "front cover"},
        {"an art address wins over the track's tags", {{"p", both}}, song, art},
    };
    for (const auto& scene : scenes) {
        FakePlayers players(scene.players);
        const auto info = source.probe();
        ASSERT_TRUE(info) << scene.what;
        EXPECT_EQ(summary(*info), scene.info) << scene.what;
        EXPECT_EQ(info->artwork, scene.artwork) << scene.what;
    }
    EXPECT_EQ(server.requests("/art").size(), 1);
}

TEST(MprisNowPlayingSource, NoBusIsAnEmptyResult) {
    const auto info = MprisNowPlayingSource("unix:path=/nonexistent/glimmet-bus").probe();
    ASSERT_TRUE(info);
    EXPECT_EQ(summary(*info), "|||-|0|0");
}

} // namespace
