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
    const struct {
        QString url;
        qint64 maxBodyBytes;
        double deadline;
        int status; // 0: a transport error
        qsizetype bodySize;
    } cases[] = {
        {fake.baseUrl() + "/s204", 0, 0, 204, 0}, // HTTP error statuses are answers
        {fake.baseUrl() + "/s401", 0, 0, 401, 4},
        {fake.baseUrl() + "/s429", 0, 0, 429, 4},
        {fake.baseUrl() + "/s500", 0, 0, 500, 4},
        {fake.baseUrl() + "/big", 4096, 0, 200, 4096}, // limits for untrusted hosts
        {fake.baseUrl() + "/big", 4095, 0, 0, 0},
        {fake.baseUrl() + "/slow", 0, 0.2, 0, 0},
        {fake.baseUrl() + "/hang", 0, 0, 0, 0},
        {refused, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        HttpRequest r;
        r.url = QUrl(c.url);
        r.idleTimeout = 0.3;
        r.maxBodyBytes = c.maxBodyBytes ? c.maxBodyBytes : r.maxBodyBytes; // limits of 0: the defaults
        r.deadline = c.deadline ? c.deadline : r.deadline;
        const HttpResponse response = client.syncRequest(r);
        EXPECT_EQ(response.status, c.status) << c.url.toStdString();
        EXPECT_EQ(response.error.has_value(), c.status == 0) << c.url.toStdString();
        EXPECT_EQ(response.body.size(), c.bodySize) << c.url.toStdString();
    }
}

// How far the resident memory of this process peaks above its level before `work` (Linux).
qint64 peakResidentGrowth(const std::function<void()>& work) {
    const auto peak = [] {
        QFile status(QStringLiteral("/proc/self/status"));
        const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
        return text.mid(text.indexOf("VmHWM:") + 6).trimmed().split(' ').value(0).toLongLong() * 1024;
    };
    QFile reset(QStringLiteral("/proc/self/clear_refs"));
    EXPECT_TRUE(reset.open(QIODevice::WriteOnly) && reset.write("5") == 1 && reset.flush());
    const qint64 before = peak();
    work();
    return peak() - before;
}

// Answers status 200 and then a body without end: `chunk` every `everyMs`, on its own thread.
struct EndlessServer {
    EndlessServer(const QByteArray& chunk, int everyMs) {
        queue.sync([&] {
            auto* server = new QTcpServer(queue.context());
            server->listen(QHostAddress::LocalHost, 0);
            url = QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(server->serverPort()));
            QObject::connect(server, &QTcpServer::newConnection, server, [server, chunk, everyMs] {
                QTcpSocket* socket = server->nextPendingConnection();
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                socket->write("HTTP/1.1 200 OK\r\n\r\n");
                auto* timer = new QTimer(socket);
                QObject::connect(timer, &QTimer::timeout, socket, [socket, chunk] {
                    if (socket->bytesToWrite() < (1 << 20))
                        socket->write(chunk);
                });
                timer->start(everyMs);
            });
        });
    }
    SerialQueue queue{QStringLiteral("endless-server")};
    QUrl url;
};

TEST_F(HttpClientTest, AnswersWithoutEndEndAtTheDeadlineOrTheCapWithFlatMemory) {
    const EndlessServer drip("x", 20), flood(QByteArray(64 * 1024, 'x'), 0);
    const struct {
        HttpRequest request;
        const char* error;
    } cases[] = {
        {{.url = drip.url, .deadline = 0.3}, "no complete answer within 0.3 s"},
        {{.url = flood.url, .deadline = 0.4, .maxBodyBytes = 64 * 1024},
         "the answer is larger than 65536 bytes"},
        {{.url = flood.url}, "the answer is larger than 1048576 bytes"}, // the default limits
    };
    for (const auto& c : cases) {
        HttpResponse response;
        EXPECT_LT(peakResidentGrowth([&] { response = client.syncRequest(c.request); }), 16 << 20) << c.error;
        EXPECT_EQ(response.error.value_or(Error{}).description.toStdString(), c.error);
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
