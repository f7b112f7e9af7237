#include "tools/clock-sim/SimHttpServer.h"

#include "common/Log.h"
#include "server/HttpRequestParser.h"
#include "tools/clock-sim/SimScreen.h"
#include "tools/clock-sim/SimState.h"

#include <QPointer>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

namespace glimmet {

namespace {

using Answer = SimHttpServer::Answer;

Answer ok() {
    return {200, "application/json", QByteArrayLiteral("{\"ok\":true}")};
}

Answer failed(int status, const QString& why) {
    return {status, "text/plain", why.toUtf8()};
}

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 413:
        return "Payload Too Large";
    default:
        return "Error";
    }
}

// The value of header `name` (lower case, without the colon), or "".
QString header(const QStringList& lines, const QString& name) {
    for (const QString& line : lines) {
        const qsizetype colon = line.indexOf(u':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

// The bytes of the first file part of a multipart/form-data body, or none.
std::optional<QByteArray> firstPart(const QByteArray& body, const QString& contentType) {
    static const QRegularExpression pattern(QStringLiteral("boundary=\"?([^\";]+)\"?"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(contentType);
    if (!contentType.startsWith(QStringLiteral("multipart/form-data"), Qt::CaseInsensitive) ||
        !match.hasMatch())
        return std::nullopt;
    const QByteArray delimiter = "--" + match.captured(1).toUtf8();
    const qsizetype start = body.indexOf(delimiter + "\r\n");
    const qsizetype headersEnd = start < 0 ? -1 : body.indexOf("\r\n\r\n", start);
    if (headersEnd < 0)
        return std::nullopt;
    const qsizetype dataStart = headersEnd + 4;
    const qsizetype dataEnd = body.indexOf("\r\n" + delimiter, dataStart);
    if (dataEnd < 0)
        return std::nullopt;
    return body.mid(dataStart, dataEnd - dataStart);
}

// One accepted connection: reads one request, answers it, closes.
class SimConnection : public QObject {
public:
    SimConnection(QTcpSocket* socket, SimHttpServer& server)
        : QObject(&server)
        , socket(socket)
        , server(server) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this] { receive(); });
        connect(socket, &QTcpSocket::disconnected, this, [this] { deleteLater(); });
        QTimer::singleShot(SimHttpServer::connectionDeadlineMs, this, [this] { this->socket->abort(); });
    }

private:
    void receive() {
        if (answered)
            return;
        buffer += socket->readAll();
        const ParseResult parsed = HttpRequestParser::parse(buffer, false);
        if (parsed.outcome == ParseOutcome::Cancel)
            return socket->abort();
        if (parsed.outcome == ParseOutcome::NeedMore)
            return;
        const IncomingRequest& request = parsed.request;
        // The parser stops waiting at its own body limit; uploads may be larger.
        const qlonglong declared = header(request.headerLines, QStringLiteral("content-length")).toLongLong();
        SimHttpServer::Answer reply;
        if (declared > SimHttpServer::maxBodyBytes)
            reply = failed(413, QStringLiteral("body too large"));
        else if (declared > request.body.size())
            return; // wait for the rest
        else
            reply = server.answer(request.method, request.path, request.headerLines, request.body);
        answered = true;
        Log::line(QStringLiteral("[sim] http %1 %2 from %3 -> %4")
                      .arg(request.method, request.path, socket->peerAddress().toString())
                      .arg(reply.status));
        QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) +
                         "\r\nContent-Type: " + reply.contentType +
                         "\r\nContent-Length: " + QByteArray::number(reply.body.size()) +
                         "\r\nConnection: close\r\n\r\n" + reply.body;
        socket->write(out);
        socket->disconnectFromHost();
    }

    QTcpSocket* socket;
    SimHttpServer& server;
    QByteArray buffer;
    bool answered = false;
};

} // namespace

SimHttpServer::SimHttpServer(SimState& state, SimScreen& screen)
    : state(state)
    , screen(screen) {
    connect(this, &QTcpServer::newConnection, this, [this] { accept(); });
}

Result<void> SimHttpServer::start(const QHostAddress& address, quint16 port) {
    if (!listen(address, port))
        return std::unexpected(Error{QStringLiteral("SimHttpServer"), int(serverError()), errorString()});
    return {};
}

void SimHttpServer::accept() {
    while (QTcpSocket* socket = nextPendingConnection())
        new SimConnection(socket, *this);
}

SimHttpServer::Answer SimHttpServer::answer(const QString& method, const QString& path,
                                            const QStringList& headerLines, const QByteArray& body) {
    const QString route = path.section(u'?', 0, 0);
    const QStringList parts = route.split(u'/', Qt::SkipEmptyParts);
    if (method == u"GET" && route == u"/api/info")
        return {200, "application/json", state.infoJson()};
    if (method == u"POST" && parts.size() == 2 && parts[0] == u"api")
        return form(parts[1], body);
    if (parts.size() < 2 || parts.size() > 3 || parts[0] != u"sprite" || !SimSprites::isSlot(parts[1]))
        return failed(404, QStringLiteral("not found"));
    const QString& slot = parts[1];
    if (method == u"GET" && parts.size() == 3 && parts[2] == u"raw")
        return {200, "application/octet-stream", state.sprites.raw(slot)};
    if (method == u"POST" && parts.size() == 2)
        return upload(slot, headerLines, body);
    if (method == u"POST" && parts.size() == 3 && parts[2] == u"reset") {
        state.sprites.reset(slot);
        screen.keepSprite(slot, {});
        Log::line(QStringLiteral("[sim] sprite %1 reset").arg(slot));
        return ok();
    }
    return failed(404, QStringLiteral("not found"));
}

SimHttpServer::Answer SimHttpServer::form(const QString& route, const QByteArray& body) {
    const QUrlQuery fields(QString::fromUtf8(body));
    auto field = [&fields](const char* key) {
        return fields.queryItemValue(QLatin1String(key), QUrl::FullyDecoded);
    };
    Result<void> result;
    if (route == u"display")
        result = state.setDisplayMode(field("mode"), QStringLiteral("http"));
    else if (route == u"brightness")
        result = state.setBrightness(field("level"), QStringLiteral("http"));
    else if (route == u"pet")
        result = state.setPetAppearance(field("preset"), field("scale"), QStringLiteral("http"));
    else if (route == u"bridge")
        result = state.setBridgeHost(field("host"), QStringLiteral("http"));
    else
        return failed(404, QStringLiteral("not found"));
    return result ? ok() : failed(400, result.error().description);
}

SimHttpServer::Answer SimHttpServer::upload(const QString& slot, const QStringList& headerLines,
                                            const QByteArray& body) {
    const auto gif = firstPart(body, header(headerLines, QStringLiteral("content-type")));
    if (!gif)
        return failed(400, QStringLiteral("expected a multipart/form-data body with one file part"));
    const Result<int> frames = state.sprites.upload(slot, *gif);
    if (!frames)
        return failed(400, frames.error().description);
    screen.keepSprite(slot, *gif);
    Log::line(QStringLiteral("[sim] sprite %1 uploaded: %2 bytes, %3 frames")
                  .arg(slot)
                  .arg(gif->size())
                  .arg(*frames));
    return ok();
}

} // namespace glimmet
