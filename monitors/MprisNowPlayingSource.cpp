#include "monitors/MprisNowPlayingSource.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QUuid>
#include <QVariantMap>

#include <algorithm>
#include <cmath>

namespace glimmet {

namespace {

const QString playerPrefix = QStringLiteral("org.mpris.MediaPlayer2.");
const QString playerPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString playerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");

// Player data arrives from other processes: every value is checked for its type before use.

std::optional<QVariantMap> variantMap(const QVariant& value) {
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const auto argument = value.value<QDBusArgument>();
        if (argument.currentSignature() != u"a{sv}")
            return std::nullopt;
        QVariantMap map;
        argument >> map;
        return map;
    }
    if (value.metaType() == QMetaType::fromType<QVariantMap>())
        return value.toMap();
    return std::nullopt;
}

QString text(const QVariant& value) {
    return value.metaType() == QMetaType::fromType<QString>() ? value.toString().trimmed() : QString();
}

// xesam:artist is a list of names; some players send a single string instead.
QString artists(const QVariant& value) {
    if (value.metaType() != QMetaType::fromType<QStringList>())
        return text(value);
    QStringList names;
    for (const QString& name : value.toStringList()) {
        if (const QString trimmed = name.trimmed(); !trimmed.isEmpty())
            names.append(trimmed);
    }
    return names.join(QStringLiteral(", "));
}

std::optional<double> number(const QVariant& value) {
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::UChar:
    case QMetaType::Double: {
        const double d = value.toDouble();
        return std::isfinite(d) ? std::optional(d) : std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

std::optional<QDBusMessage> call(const QDBusConnection& bus, const QDBusMessage& message, int timeoutMs) {
    const QDBusMessage reply = bus.call(message, QDBus::Block, timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return reply;
}

std::optional<QStringList> playerNames(const QDBusConnection& bus) {
    const auto reply = call(bus,
                            QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                           QStringLiteral("/org/freedesktop/DBus"),
                                                           QStringLiteral("org.freedesktop.DBus"),
                                                           QStringLiteral("ListNames")),
                            MprisNowPlayingSource::defaultCallTimeoutMs);
    if (!reply)
        return std::nullopt;
    const QVariant names = reply->arguments().constFirst();
    if (names.metaType() != QMetaType::fromType<QStringList>())
        return std::nullopt;
    QStringList players;
    for (const QString& name : names.toStringList()) {
        if (name.startsWith(playerPrefix))
            players.append(name);
    }
    players.sort();
    return players;
}

std::optional<QVariantMap> playerProperties(const QDBusConnection& bus, const QString& player,
                                            int timeoutMs) {
    QDBusMessage message = QDBusMessage::createMethodCall(
        player, playerPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    message << playerInterface;
    const auto reply = call(bus, message, timeoutMs);
    return reply ? variantMap(reply->arguments().constFirst()) : std::nullopt;
}

} // namespace

MprisNowPlayingSource::MprisNowPlayingSource(QString busAddress, std::shared_ptr<const Clock> clock)
    : busAddress(std::move(busAddress))
    , connectionName(QStringLiteral("glimmet-mpris-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
    , artwork(std::move(clock)) {}

MprisNowPlayingSource::~MprisNowPlayingSource() {
    if (!busAddress.isEmpty())
        QDBusConnection::disconnectFromBus(connectionName);
}

std::optional<NowPlayingInfo> MprisNowPlayingSource::probe() {
    const QDBusConnection bus = busAddress.isEmpty()
                                    ? QDBusConnection::sessionBus()
                                    : QDBusConnection::connectToBus(busAddress, connectionName);
    if (!bus.isConnected())
        return NowPlayingInfo{};
    const auto players = playerNames(bus);
    if (!players)
        return std::nullopt;

    std::optional<QVariantMap> chosen;
    for (const QString& player : *players) {
        const auto properties = playerProperties(bus, player, callTimeoutMs);
        if (!properties)
            continue;
        const QString status = text(properties->value(QStringLiteral("PlaybackStatus")));
        if (status == u"Playing") {
            chosen = properties;
            break;
        }
        if (status == u"Paused" && !chosen)
            chosen = properties;
    }
    if (!chosen)
        return NowPlayingInfo{};

    const QVariantMap metadata =
        variantMap(chosen->value(QStringLiteral("Metadata"))).value_or(QVariantMap());
    NowPlayingInfo info;
    info.title = text(metadata.value(QStringLiteral("xesam:title")));
    info.artist = artists(metadata.value(QStringLiteral("xesam:artist")));
    info.album = text(metadata.value(QStringLiteral("xesam:album")));
    // Lengths and positions are microseconds.
    info.duration = number(metadata.value(QStringLiteral("mpris:length"))).value_or(0) / 1e6;
    info.elapsed = number(chosen->value(QStringLiteral("Position"))).value_or(0) / 1e6;
    const double rate = number(chosen->value(QStringLiteral("Rate"))).value_or(1.0);
    info.playing = text(chosen->value(QStringLiteral("PlaybackStatus"))) == u"Playing" && rate > 0.01;
    info.artwork = artwork.fetch(text(metadata.value(QStringLiteral("mpris:artUrl"))),
                                 text(metadata.value(QStringLiteral("xesam:url"))));
    return info;
}

} // namespace glimmet
