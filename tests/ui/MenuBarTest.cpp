#include "UiTestSupport.h"
#include "common/Settings.h"
#include "device/DeviceClient.h"
#include "market/MarketMonitor.h"
#include "status/StatusService.h"
#include "support/FakeClock.h"
#include "support/FakeHttpServer.h"
#include "support/FixedUsage.h"
#include "ui/MenuBarController.h"
#include "usage/SecureCredentialStore.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>

#include <gtest/gtest.h>

#include <atomic>

using namespace glimmet;

namespace {

class MenuBar : public testing::Test {
protected:
    MenuBar() {
        Settings::clear();
        MenuBarController::Services services;
        services.service = std::make_shared<StatusService>(clock);
        services.usage = usage;
        services.refreshUsage = [this] { ++refreshes; };
        services.market = market;
        services.alerts = alerts;
        controller = std::make_unique<MenuBarController>(std::move(services), nullptr);
        controller->buildMenu();
        // Pairing sees a LAN on loopback from 127.0.0.5 where `clockAt` (set while no pairing
        // runs) answers as a clock.
        DeviceClient::setNetworkInterfaceSource([] {
            return NetworkInterfaces{{{"eth0", "127.0.0.5"}}, "eth0"};
        });
        DeviceClient::setProbe([](const QString& ip, double, std::function<void(bool)> verified) {
            ++probes;
            verified(ip == clockAt);
        });
        clockAt.clear();
    }
    // The titles of a menu ("-" for a separator); a path of submenu titles leads there.
    static QStringList titles(QMenu* menu) {
        QStringList out;
        for (QAction* action : menu->actions())
            out << (action->isSeparator() ? QStringLiteral("-") : action->text());
        return out;
    }
    QMenu* submenu(const QStringList& path) const {
        QMenu* menu = controller->menu();
        for (const QString& title : path)
            for (QAction* action : menu->actions())
                if (action->text() == title && action->menu()) {
                    menu = action->menu();
                    break;
                }
        return menu;
    }
    QAction* item(const QStringList& path, const QString& title) const {
        return submenu(path)->actions().value(titles(submenu(path)).indexOf(title));
    }

    std::shared_ptr<test::FakeClock> clock = std::make_shared<test::FakeClock>();
    std::shared_ptr<test::FixedUsage> usage = std::make_shared<test::FixedUsage>(); // no readings
    std::shared_ptr<MarketMonitor> market = std::make_shared<MarketMonitor>(
        clock,
        [](auto&, auto, auto&, MarketCompletion done) {
            done(std::unexpected(Error{"Market", 1, "offline"}));
        },
        false);
    std::shared_ptr<test::RecordingAlerts> alerts = std::make_shared<test::RecordingAlerts>();
    int refreshes = 0;
    std::unique_ptr<MenuBarController> controller;
    static inline QString clockAt;
    static inline std::atomic<int> probes;
};

TEST_F(MenuBar, LayoutTitlesAndKeys) {
    const struct {
        QStringList path;
        QStringList titles;
    } rows[] = {
        {{}, // after the four quota lines and the device line
         {"自动查找并配对设备", "设置设备地址…", "打开设备网页", "屏幕显示", "行情设置", "桌宠外观",
          "恢复默认动画", "把本机设为设备桥接", "-", "刷新", "桥接服务地址", "-", "退出"}},
        {{"屏幕显示"},
         {"自动（谁在干活显示谁）", "固定 Claude", "固定 Codex", "固定 Grok", "固定 Kimi", "网速曲线",
          "音乐播放", "行情", "-", "AI 额度设置"}},
        {{"屏幕显示", "AI 额度设置"},
         {"显示 Grok Build 额度", "显示 Kimi Code 额度", "-", "在屏幕菜单显示 Grok", "在屏幕菜单显示 Kimi",
          "-", "设置 Kimi Code API Key…", "清除 Kimi Code API Key"}},
        {{"行情设置"}, {"K线周期", "刷新间隔", "行情标的", "搜索/添加…"}},
        {{"行情设置", "K线周期"}, {"1m", "5m", "60m"}},
        {{"行情设置", "刷新间隔"}, {"10 秒", "30 秒", "60 秒", "120 秒"}},
        {{"桌宠外观"}, {"经典宠物", "咖色边牧", "自定义…", "-", "小号 70%", "标准 85%", "大号 100%"}},
        {{"恢复默认动画"}, {"Claude 恢复默认", "Codex 恢复默认"}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(titles(submenu(row.path)).mid(row.path.isEmpty() ? 5 : 0), row.titles)
            << row.path.join(u'/').toStdString();

    QStringList keys;
    for (QAction* mode : submenu({"屏幕显示"})->actions())
        keys << mode->data().toString();
    EXPECT_EQ(keys, QStringList({"auto", "claude", "codex", "grok", "kimi", "net", "music", "btc", "", ""}));
    EXPECT_EQ(titles(submenu({"行情设置", "行情标的"})).size(), 12); // the default favourites
    EXPECT_TRUE(item({"行情设置", "K线周期"}, "5m")->isChecked());
    EXPECT_TRUE(item({"行情设置", "刷新间隔"}, "10 秒")->isChecked());
}

TEST_F(MenuBar, TextsAreCurrentBeforeTheFirstOpen) { // built, never opened: no placeholder left
    EXPECT_TRUE(controller->usageItem(UsageProvider::Claude)->text().startsWith("Claude：额度未知　今日 "));
    EXPECT_EQ(controller->deviceItem()->text(), "设备：未设置地址");
}

TEST_F(MenuBar, OneOfManyChoicesAreRadioItems) {
    const std::pair<QStringList, qsizetype> rows[] = {{{"屏幕显示"}, 1},
                                                      {{"行情设置", "K线周期"}, 1},
                                                      {{"行情设置", "刷新间隔"}, 1},
                                                      {{"行情设置", "行情标的"}, 1},
                                                      {{"桌宠外观"}, 2}};
    for (const auto& [path, count] : rows) {
        QSet<QActionGroup*> groups; // a check box outside an exclusive group counts as none
        for (QAction* action : submenu(path)->actions())
            if (action->isCheckable())
                groups.insert(action->actionGroup() && action->actionGroup()->isExclusive()
                                  ? action->actionGroup()
                                  : nullptr);
        EXPECT_EQ(groups.size(), count) << path.join(u'/').toStdString();
        EXPECT_FALSE(groups.contains(nullptr)) << path.join(u'/').toStdString();
    }
}

TEST_F(MenuBar, AutoPairingProgressIsTheDeviceLine) {
    Settings::setDeviceLastSeen("10.0.0.9");
    DeviceClient::setProbe([](const QString&, double, std::function<void(bool)>) {}); // never answers
    item({}, "自动查找并配对设备")->trigger();
    EXPECT_EQ(controller->deviceItem()->text(), "设备：验证 10.0.0.9…");
}

TEST_F(MenuBar, TogglesArePersistedAndShowTheirItems) {
    const QStringList quota = {"屏幕显示", "AI 额度设置"};
    EXPECT_TRUE(controller->usageItem(UsageProvider::Grok)->isVisible());
    EXPECT_FALSE(controller->modeItem("grok")->isVisible());

    item(quota, "显示 Grok Build 额度")->trigger();
    EXPECT_EQ(Settings::value("show_grok_usage"), false);
    EXPECT_FALSE(controller->usageItem(UsageProvider::Grok)->isVisible());
    EXPECT_EQ(refreshes, 1);

    item(quota, "在屏幕菜单显示 Grok")->trigger();
    EXPECT_EQ(Settings::value("enable_grok_screen"), true);
    EXPECT_TRUE(controller->modeItem("grok")->isVisible());
}

TEST_F(MenuBar, ChecksFollowTheClockAndHidingItsProviderSwitchesToAuto) {
    test::FakeHttpServer device;
    device.setJson("/api/info",
                   R"({"ip":"10.0.0.5","mode":"grok","showing":"grok","pet_preset":"border-collie",
                                    "pet_scale":70,"claude":{"custom_sprite":true}})");
    device.setResponse("/api/display", {200, "ok"});
    Settings::setDeviceHost(device.baseUrl());
    controller->refreshDeviceSection();
    EXPECT_EQ(controller->deviceItem()->text(), "设备：" + device.baseUrl() + "（连接中…）");
    ASSERT_TRUE(test::waitUntil([&] { return controller->modeItem("grok")->isChecked(); }));
    EXPECT_EQ(controller->deviceItem()->text(), "设备：10.0.0.5 · 正在显示 Grok · C:自定义 X:默认");
    EXPECT_FALSE(controller->modeItem("auto")->isChecked());
    EXPECT_TRUE(controller->petPresetItem("border-collie")->isChecked());
    EXPECT_FALSE(controller->petPresetItem("classic")->isChecked());
    EXPECT_TRUE(controller->petScaleItem(70)->isChecked());
    EXPECT_FALSE(controller->petScaleItem(85)->isChecked());

    // A size picked after a restart keeps the clock's look; the mark moves when the clock says so.
    device.setResponse("/api/pet", {200, "ok"});
    controller->petScaleItem(85)->trigger();
    EXPECT_TRUE(controller->petScaleItem(70)->isChecked());
    EXPECT_FALSE(controller->petScaleItem(85)->isChecked());
    ASSERT_TRUE(test::waitUntil([&] { return !device.requests("/api/pet").isEmpty(); }));
    EXPECT_EQ(device.requests("/api/pet").first().body, "preset=border-collie&scale=85");

    QAction* grokScreen = item({"屏幕显示", "AI 额度设置"}, "在屏幕菜单显示 Grok");
    grokScreen->trigger(); // on
    grokScreen->trigger(); // off while the clock shows Grok
    ASSERT_TRUE(test::waitUntil([&] { return !device.requests("/api/display").isEmpty(); }));
    EXPECT_EQ(device.requests("/api/display").first().body, "mode=auto");
}

TEST_F(MenuBar, DeviceLineNamesWhatTheClockShows) {
    const struct {
        QString mode, showing;
        bool wired;
        QString line;
    } rows[] = {
        {"net", "claude", false, "设备：10.0.0.5 · 正在显示 网速 · C:默认 X:默认"},
        {"btc", "", true, "设备：USB 串口 · 正在显示 行情 · C:默认 X:默认"},
        {"auto", "clock", false, "设备：10.0.0.5 · 正在显示 未知 · C:默认 X:默认"},
    };
    for (const auto& row : rows) {
        const DeviceInfo info{.ip = "10.0.0.5", .mode = row.mode, .showing = row.showing, .wired = row.wired};
        EXPECT_EQ(MenuBarController::deviceLine(info), row.line) << row.mode.toStdString();
    }
    controller->refreshDeviceSection();
    EXPECT_EQ(controller->deviceItem()->text(), "设备：未设置地址");
}

TEST_F(MenuBar, FailuresAndSearchGoThroughAlerts) {
    controller->modeItem("net")->trigger(); // no clock address
    ASSERT_EQ(alerts->shown.size(), 1);
    EXPECT_EQ(alerts->shown.takeFirst(), "切换失败|未设置设备地址，请先在菜单里填写设备 IP");

    QAction* search = item({"行情设置"}, "搜索/添加…");
    alerts->answer = {0, "not a symbol!"};
    search->trigger();
    EXPECT_TRUE(alerts->shown.takeFirst().startsWith("无法识别|"));

    for (const char* extra : {"IBM", "ORCL", "INTC", "NFLX", "UBER", "SHOP", "PYPL"})
        market->addFavorite(*MarketInstrument::parse(extra)); // fills the list
    alerts->answer = {0, "kr005930"};
    search->trigger();
    EXPECT_EQ(alerts->shown, QStringList{"收藏已满|行情标的最多收藏 15 个；本次已仅显示该标的。"});
    EXPECT_EQ(market->requestedInstrument().id, MarketInstrument::parse("kr005930")->id);
}

TEST_F(MenuBar, PairingSaysWhatItFound) {
    const QString none = "未找到设备|局域网内没有发现 ESP8266 时钟。请确认：\n"
                         "1. 设备已通电并连上同一个 WiFi（首次使用需通过 Glimmet-Setup 热点配网）\n"
                         "2. 路由器未开启\"客户端隔离\"";
    for (const QString& clock : {QString(), QString("127.0.0.40")}) {
        clockAt = clock;
        item({}, "自动查找并配对设备")->trigger();
        ASSERT_TRUE(test::waitUntil([&] { return !alerts->shown.isEmpty(); }));
        EXPECT_EQ(alerts->shown.takeFirst(), clock.isEmpty() ? none : "配对成功|已找到设备并配对：" + clock);
        EXPECT_EQ(Settings::deviceHost(), clock);
    }
}

// A clock whose address changed goes on polling from the new one: the menu follows it there once
// that answers as a clock (not when the old address merely begins the new one).
TEST_F(MenuBar, FollowsTheClockToTheAddressItPollsFrom) {
    // The address the clock polls from, whether it answers as a clock, and the address kept.
    const std::tuple<QString, bool, QString> rows[] = {{"127.0.0.50", true, "127.0.0.50"},
                                                       {"127.0.0.50", false, "127.0.0.5"},
                                                       {"127.0.0.5", true, "127.0.0.5"}};
    for (const auto& [lastSeen, answers, host] : rows) {
        Settings::setDeviceHost("127.0.0.5");
        Settings::setDeviceLastSeen(lastSeen);
        clockAt = answers ? lastSeen : "";
        probes = 0;
        controller->refreshDeviceSection();
        ASSERT_TRUE(test::waitUntil(
            [&] { return controller->deviceItem()->text() == "设备：" + host + "（无法连接）"; }));
        QCoreApplication::processEvents(); // the answer of a probe
        EXPECT_EQ(std::tuple(Settings::deviceHost(), int(probes)),
                  std::tuple(host, lastSeen == "127.0.0.5" ? 0 : 1));
    }
}

// Run twice: without a keychain, and with one (GLIMMET_TEST_KEYCHAIN=1, see CMakeLists.txt).
TEST_F(MenuBar, KimiKeyIsSavedAndClearedWithAnAlertEitherWay) {
    const bool keychain = qEnvironmentVariable("GLIMMET_TEST_KEYCHAIN") == "1";
    const QString account = SecureCredentialStore::kimiCodeApiKeyAccount;
    const QStringList quota = {"屏幕显示", "AI 额度设置"};
    alerts->answer = {1, "cancelled"};
    item(quota, "设置 Kimi Code API Key…")->trigger();
    EXPECT_EQ(std::tuple(alerts->shown, refreshes), std::tuple(QStringList{}, 0));
    alerts->answer = {0, " key-1 \n"};
    item(quota, "设置 Kimi Code API Key…")->trigger();
    EXPECT_EQ(SecureCredentialStore::load(account),
              keychain ? std::optional<QString>("key-1") : std::nullopt);
    item(quota, "清除 Kimi Code API Key")->trigger();
    EXPECT_EQ(SecureCredentialStore::load(account), std::nullopt);
    const QStringList saved{"已保存|Kimi Code API Key 已安全保存到系统钥匙串。",
                            "已清除|桥接 App 仍会优先自动读取 Kimi Code CLI 登录。"},
        failed{"保存失败|无法写入系统钥匙串。", "清除失败|无法更新系统钥匙串。"};
    EXPECT_EQ(alerts->shown, keychain ? saved : failed);
    EXPECT_EQ(refreshes, 2);
}

TEST_F(MenuBar, DeviceAddressIsStoredTrimmed) {
    for (const auto& [button, typed] : {std::pair(0, " 127.0.0.9:8080 \n"), std::pair(1, "127.0.0.1")}) {
        alerts->answer = {button, typed};
        item({}, "设置设备地址…")->trigger();
        EXPECT_EQ(Settings::deviceHost(), "127.0.0.9:8080");
    }
}

TEST(MenuBarText, QuotaLines) {
    const ProviderUsage full{
        .primaryPct = 42.9, .primaryResetMin = 125, .weeklyPct = 7, .weeklyResetMin = 2880, .fablePct = 3};
    const ProviderUsage failed{.error = "未登录"};
    const struct {
        ProviderUsage usage;
        bool showPrimary;
        QString line;
    } rows[] = {
        {full, true, "Claude　5h 42%（2h5m后重置）　7天 7%（2天）　Fable 3%"},
        {full, false, "Claude　7天 7%（2天）　Fable 3%"},
        {failed, true, "Claude：未登录"},
        {{}, true, "Claude：额度未知"},
        {{.primaryPct = 10}, false, "Claude：额度未知"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(MenuBarController::usageLine("Claude", row.usage, "7天", row.showPrimary), row.line);
    for (const auto& [minutes, text] :
         {std::pair{59, "59m"}, {60, "1h"}, {61, "1h1m"}, {125, "2h5m"}, {2879, "47h59m"}, {2880, "2天"}})
        EXPECT_EQ(MenuBarController::fmtMin(minutes), text) << minutes;
    EXPECT_EQ(MenuBarController::todaySuffix(12, std::nullopt), "　今日 12 tok $?");
    EXPECT_EQ(MenuBarController::todaySuffix(12, std::nullopt, 4.561), "　今日 12 tok ≥ $4.56"); // partial
}

} // namespace
