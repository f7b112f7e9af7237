#pragma once

#include "device/DeviceClient.h"
#include "device/DeviceInfo.h"
#include "status/UsageSource.h"

#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QActionGroup;
class QIcon;
class QMenu;
class QSystemTrayIcon;

namespace glimmet {

class Alerts;
class MarketMonitor;
class MirrorPopoverController;
class RemoteHosts;
class StatusService;
class UsageSource;

// The tray icon and its control menu: one quota line per provider, the clock's connection
// line, and every user control of the bridge (display mode, quota toggles, the Kimi Code
// key, the clock's address and pairing, market, pet and bridge address). It reads the
// services and forwards choices; alerts go through `Alerts`. Main thread; owned by the app.
class MenuBarController : public QObject {
    Q_OBJECT
public:
    // What the menu reads and drives.
    struct Services {
        std::shared_ptr<StatusService> service;
        std::shared_ptr<const UsageSource> usage;
        std::function<void()> refreshUsage; // asks the usage fetcher for a cycle
        quint16 port = 8765;
        std::shared_ptr<MarketMonitor> market;
        std::shared_ptr<Alerts> alerts;
        std::function<void()> showPetPicker;
        std::shared_ptr<const RemoteHosts> remote; // one line per remote host
    };

    // Display modes, quota and screen toggles, pet presets, scales and sprite resets:
    // (title, key) in menu order.
    struct Entry {
        QString title;
        QString key;
    };
    static const QList<Entry> displayModes;
    static const QList<Entry> quotaToggles;
    static const QList<Entry> screenToggles; // key: the settings key; the mode is the key's provider
    static const QList<Entry> petPresets;
    static const QList<std::pair<QString, int>> petScales;
    static const QList<Entry> spriteResets;

    MenuBarController(Services services, MirrorPopoverController* mirrorPopover, QObject* parent = nullptr);
    ~MenuBarController() override;

    // Builds the whole control menu once.
    void buildMenu();
    // Puts the icon in the tray, with the control menu as its context menu.
    void showStatusItem(const QIcon& icon);
    // The tray icon "happy-mac" at 18 x 18 (and 36 x 36), blank when the resource is missing.
    static QIcon happyMacIcon();

    // A left click on the icon: toggles the popover.
    void statusItemClicked();
    // Everything the menu shows, refreshed as it opens. The texts are also written by
    // buildMenu() and should be refreshed whenever their data changes, so that a tray host
    // that sizes the menu before it shows it sees the real texts at the first open too.
    void menuWillOpen();
    void refreshUsageLines();
    void refreshRemoteHostLines();
    void refreshDeviceSection();
    void rebuildMarketInstrumentMenu();
    void updateMarketInstrumentStates();
    void updateMarketRefreshIntervalStates();

    QMenu* menu() const { return controlMenu; }
    QAction* usageItem(UsageProvider provider) const;
    QAction* deviceItem() const { return deviceInfoItem; }
    const QList<QAction*>& remoteHostLines() const { return remoteHostItems; }
    QAction* modeItem(const QString& key) const { return modeItems.value(key); }
    QAction* petPresetItem(const QString& key) const { return petPresetItems.value(key); }
    QAction* petScaleItem(int percent) const { return petScaleItems.value(percent); }

    // Formatters of the quota lines.
    static QString usageLine(const QString& name, const ProviderUsage& u, const QString& weeklyLabel,
                             bool showPrimary);
    // Without a whole cost, a `counted` part above 0 shows as a lower bound: "≥ $4.56".
    static QString todaySuffix(std::int64_t tokens, std::optional<double> cost, double counted = 0);
    static QString fmtMin(std::int64_t minutes);
    // A stored boolean, or `fallback` when the key is absent.
    static bool preference(const QString& key, bool fallback);
    // The device line for a fetched state.
    static QString deviceLine(const DeviceInfo& info);

private:
    QAction* addItem(QMenu* menu, const QString& title, std::function<void(QAction*)> handler);
    // One-of-many choices: radio items of an exclusive group, whose check mark moves only when
    // the clock or the market monitor confirms a choice (check()), not on the click itself.
    QAction* addChoice(QMenu* menu, QActionGroup* group, const QString& title, const QVariant& key,
                       std::function<void(QAction*)> handler);
    QActionGroup* choiceGroup();
    // Checks `item` (none: nothing) in `group` and remembers it as the confirmed choice.
    void check(QActionGroup* group, QAction* item);

    void toggleQuotaProvider(QAction* item);
    void toggleScreenProvider(QAction* item);
    void setKimiAPIKey();
    void clearKimiAPIKey();
    void autoPairAction();
    void setDeviceAddress();
    void openDevicePage();
    void setDisplayMode(QAction* item);
    void setBTCInterval(QAction* item);
    void setMarketRefreshInterval(QAction* item);
    void setMarketInstrument(QAction* item);
    void searchMarket();
    void setPetPreset(QAction* item);
    void openPetPicker();
    void setPetScale(QAction* item);
    void resetSprite(QAction* item);
    void pointBridgeHere();
    void refreshAction();
    void showAddress();

    void applyDeviceInfo(const DeviceInfo& info);
    void uncheckModes();
    void followLastSeenClock(const QString& host);
    void alert(const QString& title, const QString& text) const;
    // A device-client completion that alerts with `failureTitle` on failure and otherwise
    // reads the clock's state again.
    DeviceClient::Completion alertOrRefresh(const QString& failureTitle);

    QSystemTrayIcon* statusItem = nullptr;
    const Services s;
    QMenu* controlMenu = nullptr;
    QPointer<MirrorPopoverController> mirrorPopover;
    QAction* claudeUsageItem = nullptr;
    QAction* codexUsageItem = nullptr;
    QAction* grokUsageItem = nullptr;
    QAction* kimiUsageItem = nullptr;
    QAction* deviceInfoItem = nullptr;
    QList<QAction*> remoteHostItems; // above the device line
    QHash<QString, QAction*> modeItems;
    QHash<QString, QAction*> marketInstrumentItems;
    QMenu* instrumentMenu = nullptr;
    QMenu* marketIntervalMenu = nullptr;
    QMenu* marketRefreshMenu = nullptr;
    QHash<QString, QAction*> petPresetItems;
    QMap<int, QAction*> petScaleItems;
    QActionGroup* modeGroup = nullptr;
    QActionGroup* intervalGroup = nullptr;
    QActionGroup* refreshGroup = nullptr;
    QActionGroup* instrumentGroup = nullptr;
    QActionGroup* petPresetGroup = nullptr;
    QActionGroup* petScaleGroup = nullptr;
    QHash<QActionGroup*, QPointer<QAction>> confirmed;
    QString currentPetPreset = QStringLiteral("classic");
    int currentPetScale = 85;
};

} // namespace glimmet
