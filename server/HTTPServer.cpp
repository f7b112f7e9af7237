#include "server/HTTPServer.h"

#include "common/Log.h"
#include "server/HttpRequestParser.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace glimmet {

namespace {

QByteArray statusResponse(const char* status, QByteArrayView contentType, const QByteArray& body) {
    QByteArray out;
    out.reserve(128 + body.size());
    out.append("HTTP/1.1 ").append(status).append("\r\n");
    out.append("Content-Type: ").append(contentType).append("\r\n");
    out.append("Content-Length: ").append(QByteArray::number(body.size())).append("\r\n");
    out.append("Access-Control-Allow-Origin: *\r\n");
    out.append("Connection: close\r\n\r\n");
    out.append(body);
    return out;
}

const char* statusLine(int status) {
    switch (status) {
    case 200:
        return "200 OK";
    case 400:
        return "400 Bad Request";
    case 401:
        return "401 Unauthorized";
    case 413:
        return "413 Content Too Large";
    case 415:
        return "415 Unsupported Media Type";
    default:
        return "404 Not Found";
    }
}

} // namespace

// One accepted connection: reads one request, answers it, closes. Lives on the http queue
// and belongs to the listener.
class HttpConnection : public QObject {
public:
    // `closed` runs once when the connection ends.
    HttpConnection(QTcpSocket* socket, const HTTPServer& server, QObject* parent,
                   std::function<void(HttpConnection*)> closed)
        : QObject(parent)
        , socket(socket)
        , server(server)
        , onClosed(std::move(closed)) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this] { receive(false); });
        connect(socket, &QTcpSocket::disconnected, this, [this] { peerClosed(); });
        connect(socket, &QTcpSocket::errorOccurred, this, [this] { peerClosed(); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this](qint64 n) { written(n); });
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, this, [this] { expired(); });
        deadline.start(server.deadlineMs);
    }

    void start() { receive(false); }

    // True once the whole request has arrived.
    bool delivered() const { return answered; }

    // Drops the connection at once, whatever its state.
    void close() {
        if (closed)
            return;
        closed = true;
        deadline.stop();
        if (!answered || pending > 0)
            socket->abort();
        onClosed(this);
        deleteLater();
    }

private:
    // `peerDone`: the peer has finished sending (or the connection failed), so what has
    // arrived is all there will be.
    void receive(bool peerDone) {
        if (answered || closed)
            return; // bytes after the first request are ignored
        while (socket->bytesAvailable() > 0)
            buffer.append(socket->read(65536));
        const ParseResult parsed = HttpRequestParser::parse(
            buffer, peerDone, [this](const IncomingRequest& head) { return server.bodyLimit(head, peer()); });
        if (parsed.outcome == ParseOutcome::Cancel)
            return close();
        if (parsed.outcome == ParseOutcome::Complete)
            answer(parsed.request);
    }

    void answer(const IncomingRequest& request) {
        answered = true;
        buffer.clear();
        const QByteArray bytes = server.respond(request, peer());
        pending = bytes.size();
        deadline.start(server.deadlineMs);
        // Hand the bytes to the system now: a peer that has half-closed its side ends the
        // socket at the next read notification, and what is still buffered here then is lost.
        if (socket->write(bytes) != bytes.size())
            return sendFailed();
        socket->flush();
    }

    QString peer() const { return HTTPServer::peerHost(socket->peerAddress()); }

    void written(qint64 n) {
        pending -= n;
        if (answered && pending <= 0) {
            socket->disconnectFromHost();
            close();
        }
    }

    // The peer finished sending or the connection broke: a complete request is still
    // answered; only an incomplete one is dropped.
    void peerClosed() {
        if (!answered)
            return receive(true);
        if (pending > 0 && socket->state() != QAbstractSocket::ConnectedState &&
            socket->state() != QAbstractSocket::ClosingState)
            return sendFailed();
    }

    void expired() {
        if (answered && pending > 0)
            return sendFailed();
        close();
    }

    void sendFailed() {
        if (closed)
            return; // the abort of close() reports the end of the connection once more
        const QString reason = socket->error() == QAbstractSocket::UnknownSocketError
                                   ? QStringLiteral("timed out")
                                   : socket->errorString();
        Log::line(QStringLiteral("[http] send failed: ") + reason);
        close();
    }

    QTcpSocket* socket;
    const HTTPServer& server;
    const std::function<void(HttpConnection*)> onClosed;
    QTimer deadline;
    QByteArray buffer;
    qint64 pending = 0;
    bool answered = false;
    bool closed = false;
};

// The TCP listener. When its table of open connections is full, a new connection takes the
// place of the oldest one that has not delivered a request yet (idle sockets cannot lock the
// clock out); only when every open connection is being answered is it refused.
class HttpListener : public QTcpServer {
public:
    HttpListener(const HTTPServer& server, QObject* parent)
        : QTcpServer(parent)
        , server(server) {
        // Accepting in small batches (queued, so the listener pauses at a full batch) lets the
        // connections of one batch be read before a flood of later ones pushes them out.
        setMaxPendingConnections(acceptBatch);
        setListenBacklogSize(HTTPServer::listenBacklog);
        connect(
            this, &QTcpServer::newConnection, this, [this] { acceptPending(); }, Qt::QueuedConnection);
    }

private:
    static constexpr int acceptBatch = 16;

    void acceptPending() {
        while (QTcpSocket* socket = nextPendingConnection()) {
            if (open.size() >= server.connectionLimit && !evictOldestIdle()) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            auto* connection = new HttpConnection(socket, server, this,
                                                  [this](HttpConnection* gone) { open.removeOne(gone); });
            open.push_back(connection);
            connection->start();
        }
    }

    bool evictOldestIdle() {
        for (HttpConnection* connection : std::as_const(open)) {
            if (!connection->delivered()) {
                connection->close();
                return true;
            }
        }
        return false;
    }

    const HTTPServer& server;
    QList<HttpConnection*> open; // in order of acceptance
};

HTTPServer::HTTPServer(quint16 port, RouteTable routes, RouteTable binaryRoutes, PostRouteTable postRoutes,
                       RequestRouteTable requestRoutes)
    : _port(port)
    , routes(std::move(routes))
    , binaryRoutes(std::move(binaryRoutes))
    , postRoutes(std::move(postRoutes))
    , requestRoutes(std::move(requestRoutes)) {}

HTTPServer::~HTTPServer() {
    queue.sync([this] {
        delete listener;
        listener = nullptr;
    });
}

Result<void> HTTPServer::start() {
    return queue.sync([this]() -> Result<void> {
        if (listener)
            return {};
        auto* candidate = new HttpListener(*this, queue.context());
        if (!candidate->listen(QHostAddress::Any, _port)) {
            Error error{QStringLiteral("HTTPServer"), int(candidate->serverError()),
                        candidate->errorString()};
            delete candidate;
            return std::unexpected(std::move(error));
        }
        _port = candidate->serverPort();
        listener = candidate;
        return {};
    });
}

QString HTTPServer::peerHost(const QHostAddress& address) {
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    QString host = mapped ? QHostAddress(ipv4).toString() : address.toString();
    const qsizetype zone = host.indexOf(u'%');
    return zone < 0 ? host : host.left(zone);
}

QString HTTPServer::routePath(const QString& path) {
    const QString beforeQuery = path.section(u'?', 0, 0, QString::SectionSkipEmpty);
    return beforeQuery.isEmpty() ? path : beforeQuery;
}

const RequestRoute* HTTPServer::requestRoute(const IncomingRequest& head) const {
    if (requestRoutes.isEmpty())
        return nullptr;
    const auto route = requestRoutes.constFind(head.method + u' ' + routePath(head.path));
    return route == requestRoutes.cend() ? nullptr : &*route;
}

std::int64_t HTTPServer::bodyLimit(const IncomingRequest& head, const QString& peer) const {
    const RequestRoute* route = requestRoute(head);
    return route && route->bodyLimit ? route->bodyLimit(head, peer) : HttpRequestParser::maxAwaitedBody;
}

QByteArray HTTPServer::respond(const IncomingRequest& request, const QString& peer) const {
    if (!peer.isEmpty() && onRequest)
        onRequest(routePath(request.path), peer);
    return response(request, peer);
}

QByteArray HTTPServer::response(const IncomingRequest& request, const QString& peer) const {
    if (const RequestRoute* route = requestRoute(request)) {
        const HttpReply reply = route->answer(request, peer);
        return statusResponse(statusLine(reply.status), reply.contentType, reply.body);
    }
    return response(request.method, request.path, request.body);
}

QByteArray HTTPServer::response(const QString& method, const QString& path, const QByteArray& body) const {
    const QString key = routePath(path);
    if (method == u"POST") {
        if (const auto route = postRoutes.constFind(key); route != postRoutes.cend())
            return statusResponse("200 OK", "application/json", (*route)(body));
    } else if (method == u"GET") {
        if (const auto route = routes.constFind(key); route != routes.cend())
            return statusResponse("200 OK", "application/json", (*route)());
        if (const auto route = binaryRoutes.constFind(key); route != binaryRoutes.cend()) {
            const QByteArray payload = (*route)();
            return statusResponse(payload.isEmpty() ? "404 Not Found" : "200 OK", "application/octet-stream",
                                  payload);
        }
    }
    return statusResponse("404 Not Found", "text/plain", QByteArrayLiteral("not found"));
}

} // namespace glimmet
