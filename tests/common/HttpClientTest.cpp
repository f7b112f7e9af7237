#include "common/HttpClient.h"
#include "common/Endpoints.h"
#include "support/FakeHttpServer.h"
#include "support/TempHome.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpServer>
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
        r.timeout = 5;
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

TEST_F(HttpClientTest, HttpErrorStatusIsAnAnswerNotATransportError) {
    for (int status : {204, 401, 429, 500}) {
        fake.setResponse("/s", FakeResponse{status, status == 204 ? "" : "body"});
        const HttpResponse response = client.syncRequest(request("/s"));
        EXPECT_FALSE(response.error.has_value()) << status;
        EXPECT_EQ(response.status, status);
        EXPECT_EQ(response.body, status == 204 ? "" : "body");
    }
}

TEST_F(HttpClientTest, StalledTransferIsAnErrorEvenAfterStatus200) {
    fake.setResponse("/hang", FakeResponse{200, "", {}, 0, true});
    HttpRequest r = request("/hang");
    r.timeout = 0.3;
    const HttpResponse response = client.syncRequest(r);
    EXPECT_TRUE(response.error.has_value());
    EXPECT_FALSE(response.isHttp());
}

TEST_F(HttpClientTest, LimitsForUntrustedHostsAbortTheTransfer) {
    fake.setResponse("/big", FakeResponse{200, QByteArray(4096, 'x')});
    fake.setResponse("/slow", FakeResponse{200, "late", {}, 3000});
    const struct {
        const char* what;
        const char* path;
        qint64 maxBodyBytes;
        double deadline;
        bool fails;
    } cases[] = {
        {"body within the limit", "/big", 4096, 0, false},
        {"body over the limit", "/big", 4095, 0, true},
        {"answer after the deadline", "/slow", 0, 0.2, true},
    };
    for (const auto& c : cases) {
        HttpRequest r = request(c.path);
        r.maxBodyBytes = c.maxBodyBytes;
        r.deadline = c.deadline;
        const HttpResponse response = client.syncRequest(r);
        EXPECT_EQ(response.error.has_value(), c.fails) << c.what;
        EXPECT_EQ(response.body.size(), c.fails ? 0 : 4096) << c.what;
    }
}

TEST_F(HttpClientTest, RefusedConnectionIsATransportError) {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    HttpRequest r;
    r.url = QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(closedPort));
    const HttpResponse response = client.syncRequest(r);
    ASSERT_TRUE(response.error.has_value());
    EXPECT_EQ(response.status, 0);
    EXPECT_FALSE(response.error->description.isEmpty());
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

TEST_F(HttpClientTest, DestroyingAClientEndsTheRequestsStillWaitingForAnAnswer) {
    fake.setResponse("/hang", FakeResponse{200, "", {}, 0, true});
    auto own = std::make_unique<HttpClient>();
    HttpRequest r = request("/hang");
    r.timeout = 600;
    auto answer = std::async(std::launch::async, [&own, r] { return own->syncRequest(r); });
    QDeadlineTimer onTheWire(10000);
    while (fake.requests("/hang").isEmpty() && !onTheWire.hasExpired())
        QThread::msleep(10);
    ASSERT_EQ(fake.requests("/hang").size(), 1);

    own.reset();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const HttpResponse response = answer.get();
    EXPECT_TRUE(response.error.has_value());
    EXPECT_FALSE(response.isHttp());
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
