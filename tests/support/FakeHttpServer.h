#pragma once

#include "common/HttpClient.h"
#include "common/SerialQueue.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <mutex>

class QTcpServer;

namespace glimmet::test {

// A canned answer for one path.
struct FakeResponse {
    int status = 200;
    QByteArray body;
    HttpHeaders headers;
    int delayMs = 0;   // answer this long after the request arrived
    bool hang = false; // never answer (for time-out tests)
};

struct RecordedRequest {
    QString method;
    QString target; // path and query as sent
    QString path;   // without the query
    HttpHeaders headers;
    QByteArray body;

    QByteArray header(const QByteArray& name) const;
};

// An HTTP server on 127.0.0.1 with a random port, on its own thread, answering canned
// responses per path (404 for others) and recording every request it receives.
class FakeHttpServer {
public:
    FakeHttpServer();
    ~FakeHttpServer();

    QString baseUrl() const; // "http://127.0.0.1:<port>"
    quint16 port() const { return _port; }

    void setResponse(const QString& path, FakeResponse response);
    void setJson(const QString& path, const QByteArray& json, int status = 200);

    QList<RecordedRequest> requests() const;
    QList<RecordedRequest> requests(const QString& path) const;

private:
    FakeResponse responseFor(const QString& path) const;
    void record(RecordedRequest request);

    mutable std::mutex lock;
    QHash<QString, FakeResponse> responses;
    QList<RecordedRequest> recorded;
    SerialQueue queue{QStringLiteral("fake-http")};
    QTcpServer* server = nullptr;
    quint16 _port = 0;
};

} // namespace glimmet::test
