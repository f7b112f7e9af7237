#include "server/BridgeRoutes.h"
#include "status/ModelPricing.h"
#include "status/RemoteHosts.h"
#include "status/ScriptedStatusService.h"
#include "support/BridgeProcess.h"
#include "support/FakeClock.h"
#include "support/TempHome.h"
#include "support/Wait.h"

#include <QDateTime>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

// A real relay on "devbox" reports to a bridge on "desk" across a veth pair (run by
// in-two-namespaces.sh): refused without the token, counted with it, dropped 2 minutes after it
// stopped. The bridge's clock is a fake one set to now, so the windows pass at once.
TEST(RelayAcrossLan, WorkOnTheDevboxShowsOnTheDeskUntilItStops) {
    const QByteArray devbox = qgetenv("GLIMMET_DEVBOX_PID");
    if (devbox.isEmpty())
        GTEST_SKIP() << "runs in two network namespaces (in-two-namespaces.sh)";
    const QDateTime now = QDateTime::currentDateTime();
    TempHome home;
    auto clock = std::make_shared<FakeClock>(now.toMSecsSinceEpoch() / 1000.0,
                                             QTimeZone(BridgeProcess::middayZone())); // the relay's
    auto hosts = std::make_shared<RemoteHosts>("desk", clock, std::make_shared<ModelPricing>(home.path()));
    auto status = std::make_shared<ScriptedStatusService>(clock);
    status->setRemoteHosts(hosts);
    status->snapshot(true);
    RouteTables tables = BridgeRoutes::make({status, {}, {}, {}, {}, hosts, "lan-token"});
    HTTPServer desk(0, tables.routes, tables.binaryRoutes, tables.postRoutes, tables.requestRoutes);
    ASSERT_TRUE(desk.start().has_value());

    QTemporaryDir root;
    writeFile(root.path() + "/.claude/projects/p/s.jsonl",
              R"({"type":"assistant","costUSD":0.25,"timestamp":")" +
                  now.addSecs(-2).toUTC().toString(Qt::ISODateWithMs).toUtf8() +
                  R"(","message":{"id":"m1","model":"claude-sonnet-4-5","usage":{"input_tokens":1500}}})"
                  "\n");
    const auto relay = [&](const QString& token) {
        return std::make_unique<BridgeProcess>("env", root.path(),
                                               QStringList{"GLIMMET_REMOTE_TOKEN=" + token, "nsenter", "-t",
                                                           devbox, "-n", "-u", GLIMMET_BRIDGE_PATH, "--relay",
                                                           QString("http://10.98.0.1:%1").arg(desk.port())});
    };

    auto refused = relay("");
    ASSERT_TRUE(refused->waitForLog("[relay] the bridge refused the report (401)"))
        << refused->log.toStdString();
    EXPECT_EQ(status->snapshot(false).claude, ClaudeStatus()) << "a refused report changes nothing";
    EXPECT_TRUE(hosts->hosts().empty());
    refused.reset();

    auto reporting = relay("lan-token");
    const auto claude = [&] { return status->snapshot(false).claude; };
    ASSERT_TRUE(waitUntil([&] { return claude().tokensToday == 1500; }, 15000))
        << reporting->log.toStdString();
    EXPECT_EQ(claude().status, "working");
    EXPECT_EQ(claude().costToday, 0.25);
    ASSERT_EQ(hosts->hosts().size(), 1u);
    EXPECT_EQ(hosts->hosts().front().host, "devbox");

    reporting->process.terminate();
    ASSERT_TRUE(reporting->process.waitForFinished(5000));
    EXPECT_EQ(reporting->process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(reporting->process.exitCode(), 0);
    EXPECT_TRUE(reporting->waitForLog("[relay] stopped", 1000));

    clock->advance(119.9);
    EXPECT_EQ(claude().tokensToday, 1500) << "still within the window";
    clock->advance(0.1);
    EXPECT_EQ(claude().tokensToday, 0);
    EXPECT_EQ(claude().status, "offline");
    EXPECT_EQ(claude().costToday, std::nullopt);
}

} // namespace
