#include "server/HTTPServer.h"
#include "common/Log.h"
#include "support/RawHttp.h"
#include "support/Wait.h"

#include <QTcpSocket>

#include <gtest/gtest.h>

#include <mutex>

using namespace glimmet;
using namespace glimmet::test;

namespace {

QByteArray expectedResponse(const QByteArray& status, const QByteArray& type, const QByteArray& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n" + body;
}

class HTTPServerTest : public testing::Test {
protected:
    void SetUp() override { start(); }
    void TearDown() override { Log::setSink({}); }

    // A new server with these limits (connections, and the deadline for each in milliseconds).
    void start(int connections = HTTPServer::maxConnections,
               int deadlineMs = HTTPServer::connectionDeadlineMs) {
        RouteTable routes{{"/status", [] { return QByteArray("{\"s\":1}"); }}};
        RouteTable binary{{"/empty.raw", [] { return QByteArray(); }},
                          {"/frame.raw", [] { return QByteArray("\x00\x01\x02", 3); }},
                          {"/big.raw", [] { return QByteArray(16 << 20, 'x'); }}}; // more than sockets buffer
        PostRouteTable posts{{"/event", [this](const QByteArray& body) {
                                  std::lock_guard guard(lock);
                                  lastBody = body;
                                  return QByteArray("{\"ok\":true}");
                              }}};
        server = std::make_unique<HTTPServer>(0, routes, binary, posts);
        server->onRequest = [this](const QString& path, const QString& host) {
            std::lock_guard guard(lock);
            hooked.append({path, host});
        };
        server->connectionLimit = connections;
        server->deadlineMs = deadlineMs;
        ASSERT_TRUE(server->start().has_value());
        ASSERT_NE(server->port(), 0);
    }

    QByteArray get(const QByteArray& request) { return rawExchange(server->port(), {request}); }

    std::unique_ptr<HTTPServer> server;
    std::mutex lock;
    QByteArray lastBody;
    QList<std::pair<QString, QString>> hooked;
    QStringList logged; // by the log sink of a test that sets one
};

struct ResponseCase {
    const char* name;
    QByteArray request;
    QByteArray expected;
};

class HTTPServerResponses : public HTTPServerTest, public testing::WithParamInterface<ResponseCase> {};

TEST_P(HTTPServerResponses, ExactBytes) {
    EXPECT_EQ(get(GetParam().request), GetParam().expected);
}

const QByteArray notFound = expectedResponse("404 Not Found", "text/plain", "not found");

INSTANTIATE_TEST_SUITE_P(
    Routes, HTTPServerResponses,
    testing::Values(
        ResponseCase{"json_route", "GET /status HTTP/1.1\r\n\r\n",
                     expectedResponse("200 OK", "application/json", "{\"s\":1}")},
        ResponseCase{"query_ignored", "GET /status?x=1 HTTP/1.1\r\n\r\n",
                     expectedResponse("200 OK", "application/json", "{\"s\":1}")},
        ResponseCase{"paths_are_case_sensitive", "GET /STATUS HTTP/1.1\r\n\r\n", notFound},
        ResponseCase{"binary_route", "GET /frame.raw HTTP/1.1\r\n\r\n",
                     expectedResponse("200 OK", "application/octet-stream", QByteArray("\x00\x01\x02", 3))},
        ResponseCase{"empty_binary_is_404", "GET /empty.raw HTTP/1.1\r\n\r\n",
                     expectedResponse("404 Not Found", "application/octet-stream", "")},
        ResponseCase{"post_route", "POST /event HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}",
                     expectedResponse("200 OK", "application/json", "{\"ok\":true}")},
        ResponseCase{"post_to_get_route", "POST /status HTTP/1.1\r\n\r\n", notFound},
        ResponseCase{"get_of_post_route", "GET /event HTTP/1.1\r\n\r\n", notFound},
        ResponseCase{"head_method", "HEAD /status HTTP/1.1\r\n\r\n", notFound},
        ResponseCase{"unknown_path", "GET /nope HTTP/1.1\r\n\r\n", notFound},
        ResponseCase{"no_request_line_is_root", "\r\n\r\n", notFound},
        ResponseCase{"bytes_after_request_ignored", "GET /status HTTP/1.1\r\n\r\nGET /nope HTTP/1.1\r\n\r\n",
                     expectedResponse("200 OK", "application/json", "{\"s\":1}")}),
    [](const testing::TestParamInfo<ResponseCase>& info) { return std::string(info.param.name); });

TEST_F(HTTPServerTest, HalfClosedPeerIsAnsweredUnlessItsRequestIsIncomplete) {
    const std::pair<QByteArray, QByteArray> cases[] = {
        {"GET /status HTTP/1.0\r\n\r\n", expectedResponse("200 OK", "application/json", "{\"s\":1}")},
        {"POST /event\r\nContent-Length: 2\r\n\r\n{}",
         expectedResponse("200 OK", "application/json", "{\"ok\":true}")},
        {"POST /event\r\nContent-Length: 9\r\n\r\n{}", ""},
        {"GET /status HTTP/1.0\r\n", ""}};
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(rawExchange(server->port(), {cases[i % 4].first}, 0, 5000, true), cases[i % 4].second) << i;
}

// A body arriving in a later packet is awaited; a huge Content-Length is answered with what came.
TEST_F(HTTPServerTest, PostBodies) {
    const std::pair<QList<QByteArray>, QByteArray> cases[] = {
        {{"POST /event HTTP/1.1\r\nContent-Length: 11\r\n\r\n{\"a\":", "\"bcd\"}"}, "{\"a\":\"bcd\"}"},
        {{"POST /event HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n{\"a\":1}"}, "{\"a\":1}"}};
    for (const auto& [packets, body] : cases) {
        EXPECT_EQ(rawExchange(server->port(), packets, 200),
                  expectedResponse("200 OK", "application/json", "{\"ok\":true}"));
        std::lock_guard guard(lock);
        EXPECT_EQ(lastBody, body);
    }
}

TEST_F(HTTPServerTest, HookSeesEveryRequestWithRoutePathAndPeer) {
    get("GET /status?x=1 HTTP/1.1\r\n\r\n");
    get("PUT /nope HTTP/1.1\r\n\r\n");
    std::lock_guard guard(lock);
    ASSERT_EQ(hooked.size(), 2);
    EXPECT_EQ(hooked[0], std::pair(QString("/status"), QString("127.0.0.1")));
    EXPECT_EQ(hooked[1], std::pair(QString("/nope"), QString("127.0.0.1")));
}

TEST(HTTPServerPeerHost, MappedAndScopedAddresses) {
    const struct {
        const char* address;
        const char* host;
    } cases[] = {
        {"127.0.0.1", "127.0.0.1"},  {"::ffff:192.168.1.20", "192.168.1.20"}, {"::1", "::1"},
        {"fe80::1%eth0", "fe80::1"}, {"2001:db8::5", "2001:db8::5"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HTTPServer::peerHost(QHostAddress(QString(c.address))), QString(c.host)) << c.address;
}

// A connection gets the deadline to deliver its request, and the deadline again to take the answer.
TEST_F(HTTPServerTest, DeadlinesEndSlowPeersWithoutBlockingOthers) {
    start(HTTPServer::maxConnections, 300);
    Log::setSink([this](const QString& line) {
        std::lock_guard guard(lock);
        logged << line;
    });
    QTcpSocket idle, slowReader;
    slowReader.setReadBufferSize(1); // it reads no more
    for (auto [socket, request] : {std::pair(&idle, "GET /status HTTP/1.1\r\n"),
                                   std::pair(&slowReader, "GET /big.raw HTTP/1.1\r\n\r\n")}) {
        socket->connectToHost(QHostAddress::LocalHost, server->port());
        ASSERT_TRUE(socket->waitForConnected(2000));
        socket->write(request);
        socket->waitForBytesWritten(2000);
    }
    EXPECT_EQ(get("GET /status HTTP/1.1\r\n\r\n"),
              expectedResponse("200 OK", "application/json", "{\"s\":1}"));

    EXPECT_TRUE(idle.waitForDisconnected(5000));
    EXPECT_TRUE(idle.readAll().isEmpty());
    EXPECT_TRUE(waitUntil([&] {
        std::lock_guard guard(lock);
        return !logged.isEmpty();
    }));
    std::lock_guard guard(lock);
    EXPECT_EQ(logged, QStringList{"[http] send failed: timed out"});
}

TEST_F(HTTPServerTest, OversizedHeadersCloseWithoutAnswer) {
    const QByteArray headers = "GET /status HTTP/1.1\r\nX-Fill: " + QByteArray(70 * 1024, 'a');
    EXPECT_TRUE(closedWithoutAnswer(server->port(), headers, 5000));
}

// A new connection takes the place of the oldest one that has not delivered its request when the
// table is full, and is refused only when every one is busy with its answer.
TEST_F(HTTPServerTest, AFullTableGivesWayToNewConnectionsUnlessEveryOneIsMidAnswer) {
    start(2);
    QTcpSocket idle, slowReaders[2]; // the slow readers read no more of their answers
    const auto open = [&](QTcpSocket& socket, const QByteArray& request, qsizetype hooks) {
        socket.setReadBufferSize(1);
        socket.connectToHost(QHostAddress::LocalHost, server->port());
        ASSERT_TRUE(socket.waitForConnected(2000));
        socket.write(request);
        socket.waitForBytesWritten(2000);
        ASSERT_TRUE(waitUntil([&] {
            std::lock_guard guard(lock);
            return hooked.size() == hooks;
        }));
    };
    open(idle, "GET /status HTTP/1.1\r\n", 0);
    open(slowReaders[0], "GET /big.raw HTTP/1.1\r\n\r\n", 1);
    EXPECT_EQ(get("GET /status HTTP/1.1\r\n\r\n"),
              expectedResponse("200 OK", "application/json", "{\"s\":1}"));
    EXPECT_TRUE(idle.waitForDisconnected(5000));
    open(slowReaders[1], "GET /big.raw HTTP/1.1\r\n\r\n", 3);
    EXPECT_TRUE(closedWithoutAnswer(server->port(), "GET /status HTTP/1.1\r\n\r\n", 5000));
}

TEST(HTTPServerStart, SecondServerOnTheSamePortFails) {
    HTTPServer first(0, {}, {}, {});
    ASSERT_TRUE(first.start().has_value());
    HTTPServer second(first.port(), {}, {}, {});
    const auto started = second.start();
    ASSERT_FALSE(started.has_value());
    EXPECT_FALSE(started.error().description.isEmpty());
}

} // namespace
