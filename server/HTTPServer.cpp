#include "server/HTTPServer.h"

#include "common/Log.h"
#include "server/HttpRequestParser.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace glimmet {

namespace {

QByteArray statusResponse(const char* status, const char* contentType, const QByteArray& body) {
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

} // namespace

// One accepted connection: reads one request, answers it, closes. Lives on the http queue.
class HttpConnection : public QObject {
public:
    HttpConnection(QTcpSocket* socket, const HTTPServer& server, QObject* parent)
        : QObject(parent)
        , socket(socket)
        , server(server) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this] { receive(); });
        connect(socket, &QTcpSocket::disconnected, this, [this] { peerClosed(); });
        connect(socket, &QTcpSocket::errorOccurred, this, [this] { peerClosed(); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this](qint64 n) { written(n); });
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, this, [this] { expired(); });
        deadline.start(HTTPServer::connectionDeadlineMs);
        receive();
    }

private:
    void receive() {
        if (answered)
            return; // bytes after the first request are ignored
        while (socket->bytesAvailable() > 0)
            buffer.append(socket->read(65536));
        const ParseResult parsed = HttpRequestParser::parse(buffer, false);
        if (parsed.outcome == ParseOutcome::Cancel)
            return close();
        if (parsed.outcome == ParseOutcome::Complete)
            answer(parsed.request);
    }

    void answer(const IncomingRequest& request) {
        answered = true;
        buffer.clear();
        const QByteArray bytes = server.respond(request.method, request.path, request.body,
                                                HTTPServer::peerHost(socket->peerAddress()));
        pending = bytes.size();
        deadline.start(HTTPServer::connectionDeadlineMs);
        if (socket->write(bytes) != bytes.size())
            sendFailed();
    }

    void written(qint64 n) {
        pending -= n;
        if (answered && pending <= 0) {
            socket->disconnectFromHost();
            close();
        }
    }

    void peerClosed() {
        if (answered && pending > 0)
            return sendFailed();
        close();
    }

    void expired() {
        if (answered && pending > 0)
            return sendFailed();
        close();
    }

    void sendFailed() {
        const QString reason = socket->error() == QAbstractSocket::UnknownSocketError
                                   ? QStringLiteral("timed out")
                                   : socket->errorString();
        Log::line(QStringLiteral("[http] send failed: ") + reason);
        close();
    }

    void close() {
        if (closed)
            return;
        closed = true;
        deadline.stop();
        if (!answered || pending > 0)
            socket->abort();
        deleteLater();
    }

    QTcpSocket* socket;
    const HTTPServer& server;
    QTimer deadline;
    QByteArray buffer;
    qint64 pending = 0;
    bool answered = false;
    bool closed = false;
};

// The TCP listener; it counts open connections and refuses those beyond the limit.
class HttpListener : public QTcpServer {
public:
    HttpListener(const HTTPServer& server, QObject* parent)
        : QTcpServer(parent)
        , server(server) {
        connect(this, &QTcpServer::newConnection, this, [this] { acceptPending(); });
    }

private:
    void acceptPending() {
        while (QTcpSocket* socket = nextPendingConnection()) {
            if (open >= HTTPServer::maxConnections) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            ++open;
            auto* connection = new HttpConnection(socket, server, this);
            connect(connection, &QObject::destroyed, this, [this] { --open; });
        }
    }

    const HTTPServer& server;
    int open = 0;
};

HTTPServer::HTTPServer(quint16 port, RouteTable routes, RouteTable binaryRoutes, PostRouteTable postRoutes)
    : _port(port)
    , routes(std::move(routes))
    , binaryRoutes(std::move(binaryRoutes))
    , postRoutes(std::move(postRoutes)) {}

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

QByteArray HTTPServer::respond(const QString& method, const QString& path, const QByteArray& body,
                               const QString& peer) const {
    if (!peer.isEmpty() && onRequest)
        onRequest(routePath(path), peer);
    return response(method, path, body);
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
