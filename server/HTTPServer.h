#pragma once

#include "common/Error.h"
#include "common/SerialQueue.h"

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

    HTTPServer(quint16 port, RouteTable routes, RouteTable binaryRoutes, PostRouteTable postRoutes);
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

    // The peer's textual address as the request hook sees it: IPv4 for IPv4-mapped
    // addresses, without an IPv6 zone suffix.
    static QString peerHost(const QHostAddress& address);

private:
    friend class HttpConnection;
    static QString routePath(const QString& path);
    QByteArray respond(const QString& method, const QString& path, const QByteArray& body,
                       const QString& peer) const;

    quint16 _port;
    const RouteTable routes;
    const RouteTable binaryRoutes;
    const PostRouteTable postRoutes;
    SerialQueue queue{QStringLiteral("glimmet.http")};
    HttpListener* listener = nullptr; // lives on `queue`
};

} // namespace glimmet
