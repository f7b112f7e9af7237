#include "tools/clock-sim/BridgePoller.h"

#include "common/Json.h"
#include "common/Log.h"
#include "tools/clock-sim/PackedFrame.h"
#include "tools/clock-sim/SimScreen.h"
#include "tools/clock-sim/SimState.h"

#include <QTcpSocket>

#include <utility>

namespace glimmet {

namespace {

// The status code and body of a complete HTTP/1.x answer that ended with the connection.
BridgePoller::Response parseResponse(const QByteArray& bytes) {
    const qsizetype headersEnd = bytes.indexOf("\r\n\r\n");
    const QList<QByteArray> statusLine = bytes.left(bytes.indexOf("\r\n")).split(' ');
    bool ok = false;
    const int status = statusLine.size() >= 2 ? statusLine[1].toInt(&ok) : 0;
    if (headersEnd < 0 || !statusLine[0].startsWith("HTTP/1.") || !ok)
        return {0, {}, QStringLiteral("not an HTTP answer")};
    QByteArray body = bytes.mid(headersEnd + 4);
    for (const QByteArray& line : bytes.left(headersEnd).split('\n')) {
        if (line.toLower().startsWith("content-length:")) {
            const qlonglong length = line.mid(15).trimmed().toLongLong();
            if (length > body.size())
                return {0, {}, QStringLiteral("answer cut short")};
            body.truncate(length);
        }
    }
    return {status, body, {}};
}

QString describe(const BridgePoller::Response& response) {
    return response.status == 0
               ? QStringLiteral("failed: ") + response.error
               : QStringLiteral("%1, %2 bytes").arg(response.status).arg(response.body.size());
}

} // namespace

BridgePoller::BridgePoller(SimState& state, SimScreen& screen, QHostAddress source, int periodMs)
    : state(state)
    , screen(screen)
    , source(std::move(source)) {
    timer.setInterval(periodMs);
    connect(&timer, &QTimer::timeout, this, [this] { poll(); });
}

void BridgePoller::setBridge(std::optional<HostPort> next) {
    bridge = std::move(next);
    frameVersion.reset();
    textRev.reset();
    artworkRev.reset();
    if (!bridge) {
        timer.stop();
        return;
    }
    Log::line(QStringLiteral("[sim] polling bridge %1").arg(bridge->text()));
    timer.start();
    poll();
}

void BridgePoller::poll() {
    get(QStringLiteral("/status"), [this](const Response& r) {
        Log::line(QStringLiteral("[sim] poll /status: ") + describe(r));
        if (r.status != 200)
            return;
        if (const auto status = parseObject(r.body)) {
            state.noteStatus(*status);
            screen.showStatus(r.body);
        }
    });
    get(QStringLiteral("/net"),
        [](const Response& r) { Log::line(QStringLiteral("[sim] poll /net: ") + describe(r)); });
    get(QStringLiteral("/btc/version"), [this](const Response& r) { onVersion(r); });
    get(QStringLiteral("/music"), [this](const Response& r) { onMusic(r); });
}

void BridgePoller::onVersion(const Response& response) {
    Log::line(QStringLiteral("[sim] poll /btc/version: ") + describe(response));
    const auto version = parseObject(response.body).and_then([](const QJsonObject& doc) {
        return integer(doc[QStringLiteral("version")]);
    });
    if (response.status != 200 || !version || version == frameVersion)
        return;
    get(QStringLiteral("/btc/frame.rle"), [this, version](const Response& r) {
        if (r.status != 200)
            return Log::line(QStringLiteral("[sim] poll /btc/frame.rle: ") + describe(r));
        const Result<PackedFrame> frame = PackedFrame::unpack(r.body);
        if (!frame) // tried again on the next poll
            return Log::line(QStringLiteral("[sim] poll /btc/frame.rle: %1, bad frame: %2")
                                 .arg(describe(r), frame.error().description));
        frameVersion = version;
        screen.showMarket(frame->raw); // the snapshot is on disk before the line is logged
        Log::line(QStringLiteral("[sim] poll /btc/frame.rle: %1, frame version %2 (announced %3)")
                      .arg(describe(r))
                      .arg(frame->version)
                      .arg(*version));
    });
}

void BridgePoller::onMusic(const Response& response) {
    Log::line(QStringLiteral("[sim] poll /music: ") + describe(response));
    const auto music = parseObject(response.body);
    if (response.status != 200 || !music)
        return;
    const auto text = integer((*music)[QStringLiteral("text_rev")]);
    const auto artwork = integer((*music)[QStringLiteral("artwork_rev")]);
    if (text && text != textRev) {
        get(QStringLiteral("/music/text.raw"), [this, text](const Response& r) {
            Log::line(QStringLiteral("[sim] poll /music/text.raw: ") + describe(r));
            if (r.status == 200 && r.body.size() == 232 * 44 * 2) {
                textRev = text;
                screen.showMusicTitle(r.body);
            }
        });
    }
    if (artwork && artwork != artworkRev) {
        if (!(*music)[QStringLiteral("has_artwork")].toBool()) {
            artworkRev = artwork;
            screen.showMusicCover({});
            return;
        }
        get(QStringLiteral("/music/cover.raw"), [this, artwork](const Response& r) {
            Log::line(QStringLiteral("[sim] poll /music/cover.raw: ") + describe(r));
            if (r.status == 200 && r.body.size() == 128 * 128 * 2) {
                artworkRev = artwork;
                screen.showMusicCover(r.body);
            }
        });
    }
}

// One GET on its own connection, from the source address; a path still waiting for its
// previous answer is skipped.
void BridgePoller::get(const QString& path, std::function<void(const Response&)> done) {
    if (!bridge || inFlight.contains(path))
        return;
    inFlight.insert(path);
    auto* socket = new QTcpSocket(this);
    auto received = std::make_shared<QByteArray>();
    auto open = std::make_shared<bool>(true);
    auto finish = [this, socket, path, done, open, target = *bridge](Response response) {
        if (!std::exchange(*open, false))
            return; // already finished
        inFlight.remove(path);
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
        // An answer from a bridge that has been replaced meanwhile is dropped.
        if (bridge && bridge->text() == target.text())
            done(response);
    };
    connect(socket, &QTcpSocket::connected, socket, [socket, path, target = *bridge] {
        socket->write("GET " + path.toUtf8() + " HTTP/1.1\r\nHost: " + target.text().toUtf8() +
                      "\r\nConnection: close\r\n\r\n");
    });
    connect(socket, &QTcpSocket::readyRead, this, [socket, received, finish] {
        *received += socket->readAll();
        if (received->size() > maxAnswerBytes)
            finish({0, {}, QStringLiteral("answer larger than %1 bytes").arg(maxAnswerBytes)});
    });
    connect(socket, &QTcpSocket::disconnected, this, [socket, received, finish] {
        *received += socket->readAll();
        finish(parseResponse(*received));
    });
    connect(socket, &QTcpSocket::errorOccurred, this,
            [socket, received, finish](QAbstractSocket::SocketError e) {
                if (e == QAbstractSocket::RemoteHostClosedError) {
                    *received += socket->readAll();
                    return finish(parseResponse(*received));
                }
                finish({0, {}, socket->errorString()});
            });
    QTimer::singleShot(requestTimeoutMs, socket, [finish] { finish({0, {}, QStringLiteral("timed out")}); });
    if (!source.isNull() && source != QHostAddress::Any && source != QHostAddress::AnyIPv6 &&
        !socket->bind(source, 0)) {
        return finish({0,
                       {},
                       QStringLiteral("cannot bind ") + source.toString() + QStringLiteral(": ") +
                           socket->errorString()});
    }
    socket->connectToHost(bridge->host, bridge->port);
}

} // namespace glimmet
