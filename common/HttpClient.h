#pragma once

#include "common/Error.h"
#include "common/SerialQueue.h"

#include <QByteArray>
#include <QList>
#include <QPointer>
#include <QUrl>

#include <atomic>
#include <functional>
#include <optional>
#include <utility>

class QNetworkAccessManager;

namespace glimmet {

using HttpHeaders = QList<std::pair<QByteArray, QByteArray>>;

// One outgoing request. Headers are sent in the order given.
//
// Every exchange is bounded in time and size, because any host may answer slowly or without
// end: `deadline` limits the whole exchange, from sending to the last byte of the answer, and
// `maxBodyBytes` the answer's body. Either limit ends the request with a transport error. The
// defaults suit small documents; a caller that expects a large or slow answer widens them.
struct HttpRequest {
    static constexpr double defaultDeadline = 30;
    static constexpr qint64 defaultMaxBodyBytes = 1 << 20;

    QByteArray method = "GET";
    QUrl url;
    HttpHeaders headers;
    QByteArray body;
    // Seconds for the whole exchange.
    double deadline = defaultDeadline;
    // Bytes of the answer's body.
    qint64 maxBodyBytes = defaultMaxBodyBytes;
    // Optional, and not a limit on the whole exchange: seconds without a single byte moving
    // before the request is given up, so that a dead peer is noticed before the deadline. A
    // host that drips a byte now and then never trips it; only `deadline` ends that. 0: none.
    double idleTimeout = 0;
};

// The outcome of a request: an HTTP status with its body and headers, or a transport
// error (no connection, time-out, TLS failure, ...), in which case status is 0.
struct HttpResponse {
    int status = 0;
    QByteArray body;
    HttpHeaders headers;
    std::optional<Error> error;

    bool isHttp() const { return !error && status > 0; }
    QByteArray header(const QByteArray& name) const;
};

// The process's HTTP client: one QNetworkAccessManager living on the "glimmet.net" queue.
// Thread-safe. shared() is created on first use and lives until the application object is
// destroyed, after the global thread pool has run dry (see docs/ARCHITECTURE.md).
class HttpClient {
public:
    static HttpClient& shared();

    HttpClient();
    ~HttpClient();

    // Sends asynchronously; `callback` runs on `context`'s thread (the main thread's
    // application object, or a SerialQueue's context). Nothing is delivered if `context`
    // is destroyed first, but only while the request is not finishing: whoever deletes a
    // context from another thread with a request still in flight shuts the client down first.
    // Without a context the callback runs on the net queue itself and must return quickly.
    void send(HttpRequest request, QObject* context, std::function<void(HttpResponse)> callback);

    // Sends and blocks the calling worker thread until the answer. Never call it on the
    // main thread; on the net queue, where it could never be answered, it fails at once.
    HttpResponse syncRequest(HttpRequest request);

    // Ends the requests still running with a transport error and answers every later one
    // the same way at once, so that no worker waits on the network while the process quits.
    void shutdown();

private:
    void start(HttpRequest request, std::function<void(HttpResponse)> done);

    std::atomic<bool> stopped = false;
    SerialQueue _queue{QStringLiteral("glimmet.net")};
    QNetworkAccessManager* _manager = nullptr; // created on the queue, child of its context
};

} // namespace glimmet
