#include "common/HttpClient.h"
#include "common/Endpoints.h"
#include "support/FakeHttpServer.h"
#include "support/TempHome.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <future>

using namespace glimmet;
using namespace glimmet::test;

namespace {

class HttpClientTest : public testing::Test {
protected:
    TempHome home;
    FakeHttpServer fake;
    HttpClient& client = HttpClient::shared();

    HttpRequest request(const QString& pathAndQuery) {
        HttpRequest r;
        r.url = QUrl(fake.baseUrl() + pathAndQuery);
        r.deadline = 5;
        return r;
    }
};

TEST_F(HttpClientTest, SyncRequestSendsMethodHeadersAndBody) {
    fake.setJson("/api/thing", "{\"a\":1}");
    HttpRequest r = request("/api/thing?x=1&y=a,b");
    r.method = "POST";
    r.headers = {{"Authorization", "Bearer t"}, {"X-First", "1"}, {"X-Second", "2"}};
    r.body = "payload";
    const HttpResponse response = client.syncRequest(r);

    ASSERT_TRUE(response.isHttp());
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "{\"a\":1}");
    EXPECT_EQ(response.header("content-type"), "application/json");

    const auto seen = fake.requests("/api/thing");
    ASSERT_EQ(seen.size(), 1);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].target, "/api/thing?x=1&y=a,b");
    EXPECT_EQ(seen[0].body, "payload");
    EXPECT_EQ(seen[0].header("Authorization"), "Bearer t");
    qsizetype first = -1, second = -1;
    for (qsizetype i = 0; i < seen[0].headers.size(); ++i) {
        if (seen[0].headers[i].first == "X-First")
            first = i;
        if (seen[0].headers[i].first == "X-Second")
            second = i;
    }
    EXPECT_GE(first, 0);
    EXPECT_GT(second, first) << "headers go out in the order given";
}

TEST_F(HttpClientTest, OutcomesOfOneRequest) {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const QString refused = QStringLiteral("http://127.0.0.1:%1/x").arg(probe.serverPort());
    probe.close();
    for (int status : {204, 401, 429, 500})
        fake.setResponse("/s" + QString::number(status), FakeResponse{status, status == 204 ? "" : "body"});
    fake.setResponse("/big", FakeResponse{200, QByteArray(4096, 'x')});
    fake.setResponse("/slow", FakeResponse{200, "late", {}, 3000});
    fake.setResponse("/hang", FakeResponse{200, "", {}, 0, true}); // status 200, then nothing
    const qint64 unlimited = HttpRequest::defaultMaxBodyBytes;
    const struct {
        QString url;
        qint64 maxBodyBytes;
        double deadline;
        int status; // 0: a transport error
        qsizetype bodySize;
    } cases[] = {
        {fake.baseUrl() + "/s204", unlimited, 5, 204, 0}, // HTTP error statuses are answers
        {fake.baseUrl() + "/s401", unlimited, 5, 401, 4},
        {fake.baseUrl() + "/s429", unlimited, 5, 429, 4},
        {fake.baseUrl() + "/s500", unlimited, 5, 500, 4},
        {fake.baseUrl() + "/big", 4096, 5, 200, 4096},
        {fake.baseUrl() + "/big", 4095, 5, 0, 0},
        {fake.baseUrl() + "/slow", unlimited, 0.2, 0, 0},
        {fake.baseUrl() + "/hang", unlimited, 5, 0, 0}, // ended by the idle time-out
        {refused, unlimited, 5, 0, 0},
    };
    for (const auto& c : cases) {
        HttpRequest r;
        r.url = QUrl(c.url);
        r.idleTimeout = 0.3;
        r.maxBodyBytes = c.maxBodyBytes;
        r.deadline = c.deadline;
        const HttpResponse response = client.syncRequest(r);
        EXPECT_EQ(response.status, c.status) << c.url.toStdString();
        EXPECT_EQ(response.error.has_value(), c.status == 0) << c.url.toStdString();
        EXPECT_EQ(response.body.size(), c.bodySize) << c.url.toStdString();
    }
}

// Peak resident memory since the last reset, in bytes (Linux: VmHWM, reset through clear_refs).
qint64 peakResidentBytes() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    return -1;
}

void resetPeakResident() {
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    ASSERT_TRUE(refs.open(QIODevice::WriteOnly) && refs.write("5") == 1);
}

// Answers every request with status 200 and a body without end: one byte every 20 ms
// ("/drip"), or as fast as the socket takes it (anything else). Runs on its own thread.
class StreamingServer {
public:
    StreamingServer() {
        queue.sync([this] {
            auto* server = new QTcpServer(queue.context());
            server->listen(QHostAddress::LocalHost, 0);
            port = server->serverPort();
            QObject::connect(server, &QTcpServer::newConnection, server, [server] {
                while (QTcpSocket* socket = server->nextPendingConnection())
                    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { answer(socket); });
            });
        });
    }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path));
    }

private:
    static void answer(QTcpSocket* socket) {
        const bool drip = socket->readAll().startsWith("GET /drip");
        QObject::disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n");
        if (drip) {
            auto* timer = new QTimer(socket);
            QObject::connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
            timer->start(20);
            return;
        }
        const QByteArray chunk(64 * 1024, 'x');
        const auto more = [socket, chunk] {
            while (socket->state() == QAbstractSocket::ConnectedState &&
                   socket->bytesToWrite() < 4 * chunk.size())
                if (socket->write(chunk) < 0)
                    return;
        };
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, more);
        more();
    }

    SerialQueue queue{QStringLiteral("streaming-server")};
    quint16 port = 0;
};

TEST_F(HttpClientTest, AnswersWithoutEndEndAtTheDeadlineOrTheCapWithFlatMemory) {
    StreamingServer server;
    HttpRequest defaults;
    defaults.url = server.url("/endless");
    const struct {
        const char* what;
        HttpRequest request;
        QString error;
    } cases[] = {
        {"slow drip", {.url = server.url("/drip"), .deadline = 0.3}, "no complete answer within 0.3 s"},
        {"endless body",
         {.url = server.url("/endless"), .deadline = 0.4, .maxBodyBytes = 64 * 1024},
         "the answer is larger than 65536 bytes"},
        {"endless body, default limits", defaults, "the answer is larger than 1048576 bytes"},
    };
    for (const auto& c : cases) {
        resetPeakResident();
        const qint64 before = peakResidentBytes();
        const HttpResponse response = client.syncRequest(c.request);
        ASSERT_TRUE(response.error.has_value()) << c.what;
        EXPECT_EQ(response.error->description.toStdString(), c.error.toStdString()) << c.what;
        EXPECT_LT(peakResidentBytes() - before, 16 << 20) << c.what;
    }
}

TEST_F(HttpClientTest, SyncRequestOnTheNetworkQueueFailsInsteadOfHanging) {
    fake.setJson("/a", "{}");
    std::promise<HttpResponse> inner;
    client.send(request("/a"), nullptr,
                [&](HttpResponse) { inner.set_value(client.syncRequest(request("/a"))); });
    auto answer = inner.get_future();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(answer.get().error.has_value());
}

TEST_F(HttpClientTest, AsyncSendDeliversOnTheContextThread) {
    fake.setJson("/a", "{}");
    QEventLoop loop;
    QThread* deliveredOn = nullptr;
    HttpResponse received;
    client.send(request("/a"), QCoreApplication::instance(), [&](HttpResponse response) {
        deliveredOn = QThread::currentThread();
        received = std::move(response);
        loop.quit();
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(deliveredOn, QThread::currentThread());
    EXPECT_EQ(received.status, 200);
}

TEST_F(HttpClientTest, ShutdownEndsTheRequestsStillWaitingAndRefusesLaterOnes) {
    fake.setResponse("/hang", FakeResponse{200, "", {}, 0, true});
    auto own = std::make_unique<HttpClient>();
    HttpRequest r = request("/hang");
    r.deadline = 600;
    auto answer = std::async(std::launch::async, [&own, r] { return own->syncRequest(r); });
    QDeadlineTimer onTheWire(10000);
    while (fake.requests("/hang").isEmpty() && !onTheWire.hasExpired())
        QThread::msleep(10);
    ASSERT_EQ(fake.requests("/hang").size(), 1);

    own->shutdown();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(answer.get().error.has_value());
    EXPECT_TRUE(own->syncRequest(r).error.has_value()) << "later requests fail at once";
}

TEST_F(HttpClientTest, EndpointOverridesPointAtTheFakeServer) {
    EXPECT_EQ(Endpoints::base(Endpoint::KimiApi), Endpoints::defaultBase(Endpoint::KimiApi));
    Endpoints::setOverride(Endpoint::KimiApi, fake.baseUrl() + "/");
    EXPECT_EQ(Endpoints::base(Endpoint::KimiApi), fake.baseUrl());
    EXPECT_EQ(Endpoints::url(Endpoint::KimiApi, "/coding/v1/usages").toString(),
              fake.baseUrl() + "/coding/v1/usages");
    Endpoints::setOverride(Endpoint::KimiApi, "");
    EXPECT_EQ(Endpoints::base(Endpoint::KimiApi), Endpoints::defaultBase(Endpoint::KimiApi));
}

} // namespace
