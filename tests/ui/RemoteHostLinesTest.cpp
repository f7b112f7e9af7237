#include "status/ModelPricing.h"
#include "status/RemoteHosts.h"
#include "support/FakeClock.h"
#include "support/FixedUsage.h"
#include "support/TempHome.h"
#include "ui/MenuBarController.h"

#include <QAction>
#include <QMenu>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

TEST(RemoteHostLines, OneLineAboveTheDeviceLinePerOtherMachine) {
    TempHome home;
    auto clock = std::make_shared<FakeClock>(1'780'000'000.0); // 2026-05-29 in Shanghai
    auto hosts = std::make_shared<RemoteHosts>("desk", clock, std::make_shared<ModelPricing>(home.path()));
    MenuBarController::Services services;
    services.usage = std::make_shared<FixedUsage>();
    services.remote = hosts;
    MenuBarController controller(std::move(services), nullptr);
    controller.buildMenu();
    hosts->recordReport(
        {"devbox", "2026-05-29", 480, {"working", 120, 0.5, true, 0}, {"idle", 34, 0.25, true, 0}});
    hosts->recordEvent("devbox", "codex", "PermissionRequest", std::nullopt);
    hosts->recordEvent("ci", "codex", "Stop", std::nullopt);
    hosts->recordReport({"desk", "2026-05-29", 480, {"working", 5, 0.1, true, 0}, {}}); // this machine
    for (int open = 0; open < 2; ++open) { // lines are replaced, not added, each time
        controller.refreshUsageLines();
        const QList<QAction*> actions = controller.menu()->actions();
        const qsizetype device = actions.indexOf(controller.deviceItem());
        ASSERT_EQ(controller.remoteHostLines().size(), 2);
        EXPECT_EQ(actions.mid(device - 2, 2), controller.remoteHostLines());
        EXPECT_EQ(controller.remoteHostLines()[0]->text(), "远程 ci　Claude 离线 · Codex 空闲　0m前有消息");
        EXPECT_EQ(controller.remoteHostLines()[1]->text(),
                  "远程 devbox　Claude 工作中 · Codex 等你确认　今日 154 tok $0.75");
        EXPECT_FALSE(controller.remoteHostLines()[1]->isEnabled());
    }
}

} // namespace
