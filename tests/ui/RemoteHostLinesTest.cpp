#include "common/Settings.h"
#include "status/ModelPricing.h"
#include "status/RemoteHosts.h"
#include "support/FakeClock.h"
#include "support/FixedUsage.h"
#include "support/TempHome.h"
#include "ui/MenuBarController.h"
#include "ui/RemoteHostLine.h"

#include <QAction>
#include <QMenu>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

TEST(RemoteHostLine, StatesFiguresAndSilence) {
    RemoteHostView host;
    host.host = "devbox";
    host.counted = true;
    host.claude = {"working", false, 120, 0.5, true, 0};
    host.codex = {"idle", true, 34, 0.25, true, 0};
    EXPECT_EQ(remoteHostLine(host), "远程 devbox　Claude 工作中 · Codex 等你确认　今日 154 tok $0.75");
    host.codex.costToday.reset();
    host.codex.costComplete = false;
    EXPECT_EQ(remoteHostLine(host), "远程 devbox　Claude 工作中 · Codex 等你确认　今日 154 tok $?");
    host.counted = false;
    host.claude.status = "offline";
    host.codex = {};
    host.silentFor = 185;
    EXPECT_EQ(remoteHostLine(host), "远程 devbox　Claude 离线 · Codex 离线　3m前有消息");
}

TEST(RemoteHostLine, OneLineAboveTheDeviceLinePerOtherMachine) {
    Settings::clear();
    TempHome home;
    auto clock = std::make_shared<FakeClock>(1'780'000'000.0);
    auto hosts = std::make_shared<RemoteHosts>("desk", clock, std::make_shared<ModelPricing>(home.path()));
    MenuBarController::Services services;
    services.usage = std::make_shared<FixedUsage>();
    services.remote = hosts;
    MenuBarController controller(std::move(services), nullptr);
    controller.buildMenu();
    hosts->recordEvent("devbox", "claude", "PreToolUse", std::nullopt);
    hosts->recordEvent("ci", "codex", "Stop", std::nullopt);
    hosts->recordReport({"desk", "2026-05-29", 480, {"working", 5, 0.1, true, 0}, {}}); // this machine
    for (int open = 0; open < 2; ++open) { // lines are replaced, not added, each time
        controller.refreshUsageLines();
        const QList<QAction*> actions = controller.menu()->actions();
        const qsizetype device = actions.indexOf(controller.deviceItem());
        ASSERT_EQ(controller.remoteHostLines().size(), 2);
        EXPECT_EQ(actions.mid(device - 2, 2), controller.remoteHostLines());
        EXPECT_TRUE(controller.remoteHostLines()[0]->text().startsWith("远程 ci　Claude 离线 · Codex 空闲"));
        EXPECT_TRUE(controller.remoteHostLines()[1]->text().startsWith("远程 devbox　Claude 工作中"));
        EXPECT_FALSE(controller.remoteHostLines()[1]->isEnabled());
    }
}

} // namespace
