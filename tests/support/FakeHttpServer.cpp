#include "support/FakeHttpServer.h"

#include "server/HttpRequestParser.h"

#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace glimmet::test {

namespace {

QByteArray encode(const FakeResponse& response) {
    QByteArray out =
        "HTTP/1.1 " + QByteArray::number(response.status) + " Fake\r\n"; // no client reads the phrase
    if (response.status != 204 && response.status != 304)
        out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    for (const auto& [name, value] : response.headers)
        out += name + ": " + value + "\r\n";
    out += "Connection: close\r\n\r\n";
    if (response.status != 204 && response.status != 304)
        out += response.body;
    return out;
}

} // namespace

QByteArray RecordedRequest::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

FakeHttpServer::FakeHttpServer() {
    queue.sync([this] {
        server = new QTcpServer(queue.context());
        server->listen(QHostAddress::LocalHost, 0);
        _port = server->serverPort();
        QObject::connect(server, &QTcpServer::newConnection, server, [this] {
            while (QTcpSocket* socket = server->nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                    buffer->append(socket->readAll());
                    const ParseResult parsed = HttpRequestParser::parse(*buffer, false);
                    if (parsed.outcome != ParseOutcome::Complete)
                        return;
                    buffer->clear();
                    RecordedRequest request;
                    request.method = parsed.request.method;
                    request.target = parsed.request.path;
                    request.path = parsed.request.path.section(u'?', 0, 0);
                    for (const QString& line : parsed.request.headerLines) {
                        const qsizetype colon = line.indexOf(u':');
                        if (colon > 0)
                            request.headers.append(
                                {line.left(colon).toUtf8(), line.mid(colon + 1).trimmed().toUtf8()});
                    }
                    request.body = parsed.request.body;
                    const FakeResponse response = responseFor(request.path);
                    record(std::move(request));
                    if (response.hang)
                        return;
                    QPointer<QTcpSocket> guarded(socket);
                    QTimer::singleShot(response.delayMs, socket, [guarded, bytes = encode(response)] {
                        if (!guarded)
                            return;
                        guarded->write(bytes);
                        guarded->disconnectFromHost();
                    });
                });
            }
        });
    });
}

FakeHttpServer::~FakeHttpServer() {
    queue.sync([this] { delete server; });
}

QString FakeHttpServer::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(_port);
}

void FakeHttpServer::setResponse(const QString& path, FakeResponse response) {
    std::lock_guard guard(lock);
    responses.insert(path, std::move(response));
}

void FakeHttpServer::setJson(const QString& path, const QByteArray& json, int status) {
    setResponse(path, FakeResponse{status, json, {{"Content-Type", "application/json"}}});
}

QList<RecordedRequest> FakeHttpServer::requests() const {
    std::lock_guard guard(lock);
    return recorded;
}

QList<RecordedRequest> FakeHttpServer::requests(const QString& path) const {
    std::lock_guard guard(lock);
    QList<RecordedRequest> matching;
    for (const auto& request : recorded) {
        if (request.path == path)
            matching.append(request);
    }
    return matching;
}

FakeResponse FakeHttpServer::responseFor(const QString& path) const {
    std::lock_guard guard(lock);
    return responses.value(path, FakeResponse{404, "not found"});
}

void FakeHttpServer::record(RecordedRequest request) {
    std::lock_guard guard(lock);
    recorded.append(std::move(request));
}

} // namespace glimmet::test
