#pragma once

#include "common/Error.h"
#include "common/SerialQueue.h"
#include "server/HttpRequestParser.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QString>

#include <functional>

namespace glimmet {

using Route = std::function<QByteArray()>;
using PostRoute = std::function<QByteArray(const QByteArray& body)>;
using RouteTable = QHash<QString, Route>;
using PostRouteTable = QHash<QString, PostRoute>;

// The answer of a route that sees the whole request.
struct HttpReply {
    int status = 200; // 200, 400, 401, 404, 413 or 415
    QByteArray contentType = "application/json";
    QByteArray body;
};

// A route that sees the peer, the header lines and the body, and picks its own status. Before
// waiting for a POST body it says how long a body it takes from that peer (`bodyLimit`; without
// one, the server's usual limit), so that a peer it will refuse cannot make the server hold a
// large body.
struct RequestRoute {
    std::function<std::int64_t(const IncomingRequest& head, const QString& peer)> bodyLimit;
    std::function<HttpReply(const IncomingRequest& request, const QString& peer)> answer;
};
// Keyed by method and route path: "POST /v1/logs".
using RequestRouteTable = QHash<QString, RequestRoute>;

class HttpListener;

// The small HTTP/1.1 server the clock polls: one request per connection, answered from
// three route tables fixed at construction, then closed. Listener, connections and every
// route callback run on its "glimmet.http" queue. Owned by the app for the process's life.
class HTTPServer {
public:
    // At most this many connections are open; when the table is full, a new connection takes
    // the place of the oldest one that has not delivered its request yet.
    static constexpr int maxConnections = 256;
    // Connections the system holds for accepting: a flood of new connections must not make
    // it drop a poller's connection attempt (which would be retried only a second later).
    static constexpr int listenBacklog = 1024;
    // A connection gets this long to deliver its request, and as long again to take the answer.
    static constexpr int connectionDeadlineMs = 10000;

    HTTPServer(quint16 port, RouteTable routes, RouteTable binaryRoutes, PostRouteTable postRoutes,
               RequestRouteTable requestRoutes = {});
    ~HTTPServer();

    // Called on the queue for every request with the route path and the peer's host (set
    // before start()).
    std::function<void(const QString& path, const QString& host)> onRequest;
    // The limits in force: those above unless changed before start() (tests shorten them).
    int connectionLimit = maxConnections;
    int deadlineMs = connectionDeadlineMs;

    // Listens on every local address; fails when the port cannot be bound.
    Result<void> start();

    // The bound port once started (the requested one, or the one picked for port 0).
    quint16 port() const { return _port; }

    // The complete response bytes for one request, from the route tables.
    QByteArray response(const QString& method, const QString& path, const QByteArray& body) const;
    QByteArray response(const IncomingRequest& request, const QString& peer) const;

    // The peer's textual address as the request hook sees it: IPv4 for IPv4-mapped
    // addresses, without an IPv6 zone suffix.
    static QString peerHost(const QHostAddress& address);

private:
    friend class HttpConnection;
    static QString routePath(const QString& path);
    const RequestRoute* requestRoute(const IncomingRequest& head) const;
    // The longest body awaited for a request whose head has arrived.
    std::int64_t bodyLimit(const IncomingRequest& head, const QString& peer) const;
    QByteArray respond(const IncomingRequest& request, const QString& peer) const;

    quint16 _port;
    const RouteTable routes;
    const RouteTable binaryRoutes;
    const PostRouteTable postRoutes;
    const RequestRouteTable requestRoutes;
    SerialQueue queue{QStringLiteral("glimmet.http")};
    HttpListener* listener = nullptr; // lives on `queue`
};

} // namespace glimmet
