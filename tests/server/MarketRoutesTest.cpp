#include "market/MarketFrameCodec.h"
#include "market/MarketMonitor.h"
#include "server/BridgeRoutes.h"
#include "support/FakeClock.h"
#include "support/PackedFrame.h"
#include "support/TempHome.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

TEST(MarketRoutes, PackedAndRawFramesAgreeWithTheVersion) {
    TempHome home;
    const auto clock = std::make_shared<FakeClock>();
    const auto chart = [&](const MarketInstrument& i, MarketInterval v, const MarketFetchContext&,
                           MarketCompletion c) {
        c(MarketFetch::snapshot(i, v, {{1, 90, 110, 95, 105}, {2, 100, 120, 105, 115}}, 115, 100, "Coinbase",
                                3));
    };
    const auto monitor = std::make_shared<MarketMonitor>(clock, chart);
    const RouteTables tables = BridgeRoutes::make({.market = monitor});
    const HTTPServer server{0, tables.routes, tables.binaryRoutes, tables.postRoutes};
    const auto get = [&](const char* path, const char* type) {
        const QByteArray response = server.response("GET", path, {});
        const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: " + QByteArray(type) + "\r\n";
        EXPECT_TRUE(response.startsWith(head)) << path << response.left(80).constData();
        return response.mid(response.indexOf("\r\n\r\n") + 4);
    };
    for (int step = 0; step < 2; ++step) { // the waiting frame, then a chart
        const QByteArray rle = get("/btc/frame.rle", "application/octet-stream");
        const QByteArray raw = get("/btc/frame.raw", "application/octet-stream");
        const QJsonObject version = QJsonDocument::fromJson(get("/btc/version", "application/json")).object();
        ASSERT_EQ(raw.size(), 8 + MarketFrameCodec::rawFrameBytes);
        EXPECT_EQ(unpack(rle.mid(MarketFrameCodec::envelopeHeaderBytes)), raw.mid(8));
        EXPECT_EQ(qFromBigEndian<quint64>(rle.constData() + 4), qFromBigEndian<quint64>(raw.constData()));
        EXPECT_EQ(version["version"].toInteger(), qFromBigEndian<qint64>(raw.constData()));
        EXPECT_EQ(version["packed_bytes"].toInteger(), rle.size());
        EXPECT_EQ(QJsonDocument::fromJson(get("/btc", "application/json"))["price"].toDouble(), 115 * step);
        monitor->setInstrument(monitor->requestedInstrument());
        monitor->waitIdle();
    }
}

} // namespace
