// The tray icon on a real X server with a stand-in tray host (see with-tray-host.sh) that
// starts after the bridge: the item registers with the watcher once the host is there, and
// its menu is exported over com.canonical.dbusmenu.
#include "UiTestSupport.h"
#include "common/Settings.h"
#include "support/FakeHttpServer.h"
#include "ui/MenuBarController.h"
#include "ui/TrayHostWatcher.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QProcess>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

using namespace glimmet;

namespace {

QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& args) {
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(args);
    // The menu is served by this very process: keep its event loop turning while we wait.
    return QDBusConnection::sessionBus().call(message, QDBus::BlockWithGui, 10000);
}

// Every item's label and id in an exported layout, depth first.
void collect(const QDBusArgument& item, QHash<QString, int>& ids) {
    int id = 0;
    QVariantMap properties;
    item.beginStructure();
    item >> id >> properties;
    ids.insert(properties.value(QStringLiteral("label")).toString(), id);
    item.beginArray();
    while (!item.atEnd()) {
        QDBusVariant child;
        item >> child;
        collect(qvariant_cast<QDBusArgument>(child.variant()), ids);
    }
    item.endArray();
    item.endStructure();
}

TEST(Tray, ShownWhenAHostStartsLaterWithTheControlMenu) {
    ASSERT_FALSE(TrayHostWatcher::hostPresent());
    TrayHostWatcher hosts;
    bool appeared = false;
    QObject::connect(&hosts, &TrayHostWatcher::hostAppeared, [&] { appeared = true; });
    QProcess host; // the stand-in StatusNotifierWatcher, ended with this object
    host.start(qEnvironmentVariable("TRAY_WATCHER"));
    ASSERT_TRUE(test::waitUntil([&] { return appeared; }));
    EXPECT_TRUE(TrayHostWatcher::hostPresent());
    ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable()); // Qt is asked only now
    test::FakeHttpServer clock;
    clock.setResponse(QStringLiteral("/api/display"), {200, "ok"});
    Settings::setDeviceHost(clock.baseUrl());

    MenuBarController controller({}, nullptr);
    controller.buildMenu();
    controller.showStatusItem(MenuBarController::happyMacIcon());

    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    QStringList items;
    ASSERT_TRUE(test::waitUntil([&] {
        const QDBusMessage reply = call(watcher, "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties",
                                        "Get", {watcher, QStringLiteral("RegisteredStatusNotifierItems")});
        items = qvariant_cast<QDBusVariant>(reply.arguments().value(0)).variant().toStringList();
        return !items.isEmpty();
    }));

    const QDBusMessage layout =
        call(items.first(), "/MenuBar", "com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList()});
    ASSERT_EQ(layout.type(), QDBusMessage::ReplyMessage) << layout.errorMessage().toStdString();
    QHash<QString, int> ids;
    collect(qvariant_cast<QDBusArgument>(layout.arguments().value(1)), ids);
    const QStringList expected = {"行情设置",
                                  "桌宠外观",
                                  "自定义…",
                                  "把本机设为设备桥接",
                                  "桥接服务地址",
                                  "退出",
                                  "自动（谁在干活显示谁）",
                                  "固定 Claude",
                                  "固定 Codex",
                                  "网速曲线",
                                  "音乐播放",
                                  "行情"};
    for (const QString& title : expected)
        EXPECT_TRUE(ids.contains(title)) << title.toStdString();

    call(items.first(), "/MenuBar", "com.canonical.dbusmenu", "Event",
         {ids.value(QStringLiteral("网速曲线")), QStringLiteral("clicked"),
          QVariant::fromValue(QDBusVariant(0)), 0u});
    ASSERT_TRUE(test::waitUntil([&] { return !clock.requests(QStringLiteral("/api/display")).isEmpty(); }));
    EXPECT_EQ(clock.requests(QStringLiteral("/api/display")).first().body, "mode=net");
}

} // namespace
