#include "ui/MenuBarController.h"

#include "common/Settings.h"
#include "device/DeviceClient.h"
#include "market/MarketInstrument.h"
#include "market/MarketInterval.h"
#include "market/MarketMonitor.h"
#include "market/MarketRefreshInterval.h"
#include "status/RemoteHosts.h"
#include "status/StatusService.h"
#include "ui/Alerts.h"
#include "ui/MirrorPopoverController.h"
#include "ui/RemoteHostLine.h"
#include "usage/SecureCredentialStore.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QIcon>
#include <QLocale>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

#include <cmath>

// The images live in glimmet_core, a static library: register them before the first use.
static void initResources() {
    Q_INIT_RESOURCE(resources);
}

namespace glimmet {

namespace {

// A stored percentage printed as a whole number (truncated toward zero; clamped when absurd).
QString percentText(double value) {
    return QString::number(std::isfinite(value) ? std::int64_t(std::clamp(value, -1e15, 1e15)) : 0) + u'%';
}

const QString keyProperty = QStringLiteral("key");
const QString modeProperty = QStringLiteral("mode");

} // namespace

const QList<MenuBarController::Entry> MenuBarController::displayModes = {{"自动（谁在干活显示谁）", "auto"},
                                                                         {"固定 Claude", "claude"},
                                                                         {"固定 Codex", "codex"},
                                                                         {"固定 Grok", "grok"},
                                                                         {"固定 Kimi", "kimi"},
                                                                         {"网速曲线", "net"},
                                                                         {"音乐播放", "music"},
                                                                         {"行情", "btc"}};
const QList<MenuBarController::Entry> MenuBarController::quotaToggles = {
    {"显示 Grok Build 额度", "show_grok_usage"}, {"显示 Kimi Code 额度", "show_kimi_usage"}};
const QList<MenuBarController::Entry> MenuBarController::screenToggles = {
    {"在屏幕菜单显示 Grok", "enable_grok_screen"}, {"在屏幕菜单显示 Kimi", "enable_kimi_screen"}};
const QList<MenuBarController::Entry> MenuBarController::petPresets = {{"经典宠物", "classic"},
                                                                       {"咖色边牧", "border-collie"}};
const QList<std::pair<QString, int>> MenuBarController::petScales = {
    {"小号 70%", 70}, {"标准 85%", 85}, {"大号 100%", 100}};
const QList<MenuBarController::Entry> MenuBarController::spriteResets = {{"Claude 恢复默认", "claude"},
                                                                         {"Codex 恢复默认", "codex"}};

MenuBarController::MenuBarController(Services services, MirrorPopoverController* mirrorPopover,
                                     QObject* parent)
    : QObject(parent)
    , s(std::move(services))
    , mirrorPopover(mirrorPopover) {
    controlMenu = new QMenu;
    instrumentMenu = new QMenu(QStringLiteral("行情标的"), controlMenu);
    marketIntervalMenu = new QMenu(QStringLiteral("K线周期"), controlMenu);
    marketRefreshMenu = new QMenu(QStringLiteral("刷新间隔"), controlMenu);
    instrumentGroup = choiceGroup();
}

MenuBarController::~MenuBarController() {
    delete statusItem;
    delete controlMenu;
}

QAction* MenuBarController::addItem(QMenu* menu, const QString& title,
                                    std::function<void(QAction*)> handler) {
    auto* item = menu->addAction(title);
    if (handler)
        connect(item, &QAction::triggered, this, [this, item, handler = std::move(handler)] {
            // Check marks follow the clock, the market monitor and the settings, not the
            // click: undo Qt's own toggle, and let the handler check what is confirmed.
            if (QActionGroup* group = item->actionGroup())
                check(group, confirmed.value(group));
            else if (item->isCheckable())
                item->setChecked(!item->isChecked());
            handler(item);
        });
    return item;
}

QAction* MenuBarController::addChoice(QMenu* menu, QActionGroup* group, const QString& title,
                                      const QVariant& key, std::function<void(QAction*)> handler) {
    QAction* item = addItem(menu, title, std::move(handler));
    item->setCheckable(true);
    item->setData(key);
    group->addAction(item);
    return item;
}

QActionGroup* MenuBarController::choiceGroup() {
    auto* group = new QActionGroup(this);
    group->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    return group;
}

void MenuBarController::check(QActionGroup* group, QAction* item) {
    confirmed.insert(group, item);
    for (QAction* choice : group->actions())
        choice->setChecked(choice == item);
}

void MenuBarController::buildMenu() {
    QMenu* m = controlMenu;
    claudeUsageItem = m->addAction(QStringLiteral("Claude …"));
    codexUsageItem = m->addAction(QStringLiteral("Codex …"));
    grokUsageItem = m->addAction(QStringLiteral("Grok Build …"));
    kimiUsageItem = m->addAction(QStringLiteral("Kimi Code …"));
    deviceInfoItem = m->addAction(QStringLiteral("设备：未设置"));
    for (QAction* line : {claudeUsageItem, codexUsageItem, grokUsageItem, kimiUsageItem, deviceInfoItem})
        line->setEnabled(false);

    addItem(m, QStringLiteral("自动查找并配对设备"), [this](QAction*) { autoPairAction(); });
    addItem(m, QStringLiteral("设置设备地址…"), [this](QAction*) { setDeviceAddress(); });
    addItem(m, QStringLiteral("打开设备网页"), [this](QAction*) { openDevicePage(); });

    QMenu* screen = m->addMenu(QStringLiteral("屏幕显示"));
    modeGroup = choiceGroup();
    for (const Entry& mode : displayModes)
        modeItems.insert(mode.key, addChoice(screen, modeGroup, mode.title, mode.key,
                                             [this](QAction* a) { setDisplayMode(a); }));
    modeItems.value(QStringLiteral("grok"))
        ->setVisible(preference(QStringLiteral("enable_grok_screen"), false));
    modeItems.value(QStringLiteral("kimi"))
        ->setVisible(preference(QStringLiteral("enable_kimi_screen"), false));
    screen->addSeparator();
    QMenu* quota = screen->addMenu(QStringLiteral("AI 额度设置"));
    for (const Entry& toggle : quotaToggles) {
        QAction* item = addItem(quota, toggle.title, [this](QAction* a) { toggleQuotaProvider(a); });
        item->setCheckable(true);
        item->setData(toggle.key);
        item->setChecked(preference(toggle.key, true));
    }
    quota->addSeparator();
    for (const Entry& toggle : screenToggles) {
        QAction* item = addItem(quota, toggle.title, [this](QAction* a) { toggleScreenProvider(a); });
        item->setCheckable(true);
        item->setData(QVariantMap{{keyProperty, toggle.key}, {modeProperty, toggle.key.section(u'_', 1, 1)}});
        item->setChecked(preference(toggle.key, false));
    }
    quota->addSeparator();
    addItem(quota, QStringLiteral("设置 Kimi Code API Key…"), [this](QAction*) { setKimiAPIKey(); });
    addItem(quota, QStringLiteral("清除 Kimi Code API Key"), [this](QAction*) { clearKimiAPIKey(); });

    QMenu* marketMenu = m->addMenu(QStringLiteral("行情设置"));
    marketMenu->addMenu(marketIntervalMenu);
    const MarketInterval shownInterval =
        s.market ? s.market->snapshot().interval : MarketInterval::fiveMinutes;
    intervalGroup = choiceGroup();
    for (MarketInterval interval : allMarketIntervals) {
        QAction* item = addChoice(marketIntervalMenu, intervalGroup, rawValue(interval), rawValue(interval),
                                  [this](QAction* a) { setBTCInterval(a); });
        if (interval == shownInterval)
            check(intervalGroup, item);
    }
    marketMenu->addMenu(marketRefreshMenu);
    refreshGroup = choiceGroup();
    for (MarketRefreshInterval period : allMarketRefreshIntervals)
        addChoice(marketRefreshMenu, refreshGroup, rawValue(period) + QStringLiteral(" 秒"), rawValue(period),
                  [this](QAction* a) { setMarketRefreshInterval(a); });
    updateMarketRefreshIntervalStates();
    marketMenu->addMenu(instrumentMenu);
    addItem(marketMenu, QStringLiteral("搜索/添加…"), [this](QAction*) { searchMarket(); });
    rebuildMarketInstrumentMenu();
    updateMarketInstrumentStates();

    QMenu* pets = m->addMenu(QStringLiteral("桌宠外观"));
    petPresetGroup = choiceGroup();
    for (const Entry& preset : petPresets)
        petPresetItems.insert(preset.key, addChoice(pets, petPresetGroup, preset.title, preset.key,
                                                    [this](QAction* a) { setPetPreset(a); }));
    petPresetItems.insert(QStringLiteral("custom"),
                          addItem(pets, QStringLiteral("自定义…"), [this](QAction*) { openPetPicker(); }));
    pets->addSeparator();
    petScaleGroup = choiceGroup();
    for (const auto& [title, percent] : petScales)
        petScaleItems.insert(
            percent, addChoice(pets, petScaleGroup, title, percent, [this](QAction* a) { setPetScale(a); }));

    QMenu* resets = m->addMenu(QStringLiteral("恢复默认动画"));
    for (const Entry& reset : spriteResets)
        addItem(resets, reset.title, [this](QAction* a) { resetSprite(a); })->setData(reset.key);

    addItem(m, QStringLiteral("把本机设为设备桥接"), [this](QAction*) { pointBridgeHere(); });
    m->addSeparator();
    addItem(m, QStringLiteral("刷新"), [this](QAction*) {
        refreshAction();
    })->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    addItem(m, QStringLiteral("桥接服务地址"), [this](QAction*) { showAddress(); });
    m->addSeparator();
    addItem(m, QStringLiteral("退出"), [](QAction*) {
        QCoreApplication::quit();
    })->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    connect(controlMenu, &QMenu::aboutToShow, this, &MenuBarController::menuWillOpen);
    // A tray host sizes the menu from the texts it has before it shows it: give it the real
    // ones now, not placeholders (the app refreshes them again whenever their data changes).
    refreshUsageLines();
    refreshDeviceSection();
}

void MenuBarController::showStatusItem(const QIcon& icon) {
    if (!statusItem) {
        statusItem = new QSystemTrayIcon(icon);
        statusItem->setToolTip(QStringLiteral("GlimmetBridge"));
        statusItem->setContextMenu(controlMenu);
        connect(statusItem, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger)
                        statusItemClicked();
                });
    }
    statusItem->show();
}

QIcon MenuBarController::happyMacIcon() {
    initResources();
    QIcon icon;
    for (const char* file : {":/happy-mac.png", ":/happy-mac@2x.png"}) { // 18 and 36 pixels
        const QPixmap pixmap(QString::fromLatin1(file));
        if (!pixmap.isNull())
            icon.addPixmap(pixmap);
    }
    if (icon.isNull()) {
        QPixmap blank(18, 18);
        blank.fill(Qt::transparent);
        icon.addPixmap(blank);
    }
    return icon;
}

void MenuBarController::statusItemClicked() {
    if (QGuiApplication::keyboardModifiers() & Qt::ControlModifier) { // control-click: the menu
        controlMenu->popup(QCursor::pos());
        return;
    }
    if (mirrorPopover)
        mirrorPopover->toggle(statusItem ? statusItem->geometry() : QRect());
}

void MenuBarController::menuWillOpen() {
    if (s.refreshUsage)
        s.refreshUsage();
    refreshUsageLines();
    refreshDeviceSection();
    rebuildMarketInstrumentMenu();
    updateMarketInstrumentStates();
    updateMarketRefreshIntervalStates();
}

void MenuBarController::refreshAction() {
    if (s.refreshUsage)
        s.refreshUsage();
    refreshUsageLines();
    refreshDeviceSection();
}

QAction* MenuBarController::usageItem(UsageProvider provider) const {
    switch (provider) {
    case UsageProvider::Claude:
        return claudeUsageItem;
    case UsageProvider::Codex:
        return codexUsageItem;
    case UsageProvider::Grok:
        return grokUsageItem;
    case UsageProvider::Kimi:
        break;
    }
    return kimiUsageItem;
}

void MenuBarController::refreshUsageLines() {
    if (!s.usage || !claudeUsageItem)
        return;
    const Snapshot snapshot = s.service ? s.service->snapshot(false) : Snapshot::offline(0);
    claudeUsageItem->setText(
        usageLine(QStringLiteral("Claude"), s.usage->usage(UsageProvider::Claude), QStringLiteral("7天"),
                  true) +
        todaySuffix(snapshot.claude.tokensToday, snapshot.claude.costToday, snapshot.claude.costCounted));
    codexUsageItem->setText(
        usageLine(QStringLiteral("Codex"), s.usage->usage(UsageProvider::Codex), QStringLiteral("周"),
                  false) +
        todaySuffix(snapshot.codex.tokensToday, snapshot.codex.costToday, snapshot.codex.costCounted));
    grokUsageItem->setText(usageLine(QStringLiteral("Grok Build"), s.usage->usage(UsageProvider::Grok),
                                     QStringLiteral("周"), false));
    grokUsageItem->setVisible(preference(QStringLiteral("show_grok_usage"), true));
    kimiUsageItem->setText(usageLine(QStringLiteral("Kimi Code"), s.usage->usage(UsageProvider::Kimi),
                                     QStringLiteral("周"), true));
    kimiUsageItem->setVisible(preference(QStringLiteral("show_kimi_usage"), true));
    refreshRemoteHostLines();
}

void MenuBarController::refreshRemoteHostLines() {
    if (!s.remote || !deviceInfoItem)
        return;
    QStringList lines;
    for (const RemoteHostView& host : s.remote->hosts()) {
        if (!host.local)
            lines << remoteHostLine(host);
    }
    // The lines stay in place, with new texts, unless the number of machines changed.
    while (remoteHostItems.size() > lines.size())
        delete remoteHostItems.takeLast();
    while (remoteHostItems.size() < lines.size()) {
        auto* line = new QAction(controlMenu);
        line->setEnabled(false);
        controlMenu->insertAction(deviceInfoItem, line);
        remoteHostItems.append(line);
    }
    for (qsizetype i = 0; i < lines.size(); ++i)
        remoteHostItems[i]->setText(lines[i]);
}

QString MenuBarController::usageLine(const QString& name, const ProviderUsage& u, const QString& weeklyLabel,
                                     bool showPrimary) {
    if (!u.weeklyPct && !u.fablePct && (!showPrimary || !u.primaryPct) && u.error)
        return name + QStringLiteral("：") + *u.error;
    QStringList parts;
    if (showPrimary && u.primaryPct) {
        QString part = QStringLiteral("5h ") + percentText(*u.primaryPct);
        if (u.primaryResetMin)
            part += QStringLiteral("（") + fmtMin(*u.primaryResetMin) + QStringLiteral("后重置）");
        parts << part;
    }
    if (u.weeklyPct) {
        QString part = weeklyLabel + u' ' + percentText(*u.weeklyPct);
        if (u.weeklyResetMin)
            part += QStringLiteral("（") + fmtMin(*u.weeklyResetMin) + QStringLiteral("）");
        parts << part;
    }
    if (u.fablePct) {
        QString part = QStringLiteral("Fable ") + percentText(*u.fablePct);
        if (u.fableResetMin)
            part += QStringLiteral("（") + fmtMin(*u.fableResetMin) + QStringLiteral("）");
        parts << part;
    }
    if (!u.fablePct && parts.isEmpty())
        return name + QStringLiteral("：额度未知");
    return name + QStringLiteral("　") + parts.join(QStringLiteral("　"));
}

QString MenuBarController::todaySuffix(std::int64_t tokens, std::optional<double> cost, double counted) {
    return QStringLiteral("　今日 ") + QLocale().toString(qint64(tokens)) + QStringLiteral(" tok ") +
           (cost          ? QString::asprintf("$%.2f", *cost)
            : counted > 0 ? QString::asprintf("≥ $%.2f", counted)
                          : QStringLiteral("$?"));
}

QString MenuBarController::fmtMin(std::int64_t m) {
    if (m >= 2880)
        return QString::number(m / 1440) + QStringLiteral("天");
    if (m >= 60)
        return QString::number(m / 60) + u'h' + (m % 60 ? QString::number(m % 60) + u'm' : QString());
    return QString::number(m) + u'm';
}

bool MenuBarController::preference(const QString& key, bool fallback) {
    const QVariant stored = Settings::value(key);
    return stored.isValid() ? stored.toBool() : fallback;
}

QString MenuBarController::deviceLine(const DeviceInfo& info) {
    QString label;
    if (info.mode == u"net")
        label = QStringLiteral("网速");
    else if (info.mode == u"music")
        label = QStringLiteral("音乐");
    else if (info.mode == u"btc")
        label = QStringLiteral("行情");
    else if (info.showing == u"claude")
        label = QStringLiteral("Claude");
    else if (info.showing == u"codex")
        label = QStringLiteral("Codex");
    else if (info.showing == u"grok")
        label = QStringLiteral("Grok");
    else if (info.showing == u"kimi")
        label = QStringLiteral("Kimi");
    else
        label = QStringLiteral("未知");
    return QStringLiteral("设备：") + (info.wired ? QStringLiteral("USB 串口") : info.ip) +
           QStringLiteral(" · 正在显示 ") + label + QStringLiteral(" · ") +
           (info.claudeCustomSprite ? QStringLiteral("C:自定义") : QStringLiteral("C:默认")) + u' ' +
           (info.codexCustomSprite ? QStringLiteral("X:自定义") : QStringLiteral("X:默认"));
}

void MenuBarController::refreshDeviceSection() {
    const QString host = Settings::deviceHost();
    if (host.isEmpty() && !DeviceClient::currentWiredInfo()) {
        deviceInfoItem->setText(QStringLiteral("设备：未设置地址"));
        uncheckModes();
        return;
    }
    deviceInfoItem->setText(host.isEmpty() ? QStringLiteral("设备：USB 串口（连接中…）")
                                           : QStringLiteral("设备：") + host + QStringLiteral("（连接中…）"));
    DeviceClient::fetchInfo([self = QPointer(this), host](Result<DeviceInfo> info) {
        if (!self)
            return;
        if (info) {
            self->applyDeviceInfo(*info);
            return;
        }
        self->deviceInfoItem->setText(host.isEmpty()
                                          ? QStringLiteral("设备：USB 串口（无法读取状态）")
                                          : QStringLiteral("设备：") + host + QStringLiteral("（无法连接）"));
        self->uncheckModes();
        self->followLastSeenClock(host);
    });
}

void MenuBarController::applyDeviceInfo(const DeviceInfo& info) {
    deviceInfoItem->setText(deviceLine(info));
    check(modeGroup, modeItems.value(info.mode));
    // The clock's own look and size: picking one of them later keeps the other.
    currentPetPreset = info.petPreset;
    currentPetScale = int(info.petScale);
    QAction* preset = petPresetItems.value(info.petPreset);
    check(petPresetGroup, preset && preset->isCheckable() ? preset : nullptr);
    check(petScaleGroup, petScaleItems.value(int(info.petScale)));
}

void MenuBarController::uncheckModes() {
    check(modeGroup, nullptr);
}

// A clock whose DHCP address changed keeps polling from its new one: adopt that address
// once it answers as a clock. Addresses are compared whole: 192.168.1.5 is not 192.168.1.50.
void MenuBarController::followLastSeenClock(const QString& host) {
    const QString lastSeen = Settings::deviceLastSeen();
    const auto configured = DeviceClient::baseURL();
    if (lastSeen.isEmpty() || host.isEmpty() || (configured && configured->host() == lastSeen))
        return;
    DeviceClient::verifyDevice(lastSeen, 2.0, [self = QPointer(this), lastSeen](bool verified) {
        if (!self || !verified)
            return;
        Settings::setDeviceHost(lastSeen);
        self->refreshDeviceSection();
    });
}

void MenuBarController::rebuildMarketInstrumentMenu() {
    const QList<MarketInstrument> favorites =
        s.market ? s.market->favoriteItems() : QList<MarketInstrument>();
    QStringList ids, shown;
    for (const MarketInstrument& instrument : favorites)
        ids << instrument.id;
    for (const QAction* item : instrumentMenu->actions())
        shown << item->data().toString();
    if (ids == shown)
        return; // the same favourites: an open menu keeps its items
    instrumentMenu->clear();
    marketInstrumentItems.clear();
    for (const MarketInstrument& instrument : favorites)
        marketInstrumentItems.insert(
            instrument.id, addChoice(instrumentMenu, instrumentGroup,
                                     instrument.name + QStringLiteral("  ") + instrument.symbol,
                                     instrument.id, [this](QAction* a) { setMarketInstrument(a); }));
}

void MenuBarController::updateMarketInstrumentStates() {
    if (s.market)
        check(instrumentGroup, marketInstrumentItems.value(s.market->requestedInstrument().id));
}

void MenuBarController::updateMarketRefreshIntervalStates() {
    if (!s.market)
        return;
    const QString current = rawValue(s.market->refreshInterval());
    QAction* checked = nullptr;
    for (QAction* item : marketRefreshMenu->actions())
        if (item->data().toString() == current)
            checked = item;
    check(refreshGroup, checked);
}

void MenuBarController::alert(const QString& title, const QString& text) const {
    if (s.alerts)
        s.alerts->inform(title, text);
}

void MenuBarController::toggleQuotaProvider(QAction* item) {
    if (item->data().typeId() != QMetaType::QString)
        return;
    item->setChecked(!item->isChecked());
    Settings::setValue(item->data().toString(), item->isChecked());
    if (s.refreshUsage)
        s.refreshUsage();
    refreshUsageLines();
}

void MenuBarController::toggleScreenProvider(QAction* item) {
    const QVariantMap target = item->data().toMap();
    const QString key = target.value(keyProperty).toString();
    QAction* modeItem = modeItems.value(target.value(modeProperty).toString());
    if (key.isEmpty() || !modeItem)
        return;
    const bool on = !item->isChecked();
    item->setChecked(on);
    Settings::setValue(key, on);
    const bool wasShowing = modeItem->isChecked();
    modeItem->setVisible(on);
    if (!on && wasShowing)
        DeviceClient::setDisplayMode(QStringLiteral("auto"), [self = QPointer(this)](std::optional<Error>) {
            if (self)
                self->refreshDeviceSection();
        });
}

DeviceClient::Completion MenuBarController::alertOrRefresh(const QString& failureTitle) {
    return [self = QPointer(this), failureTitle](std::optional<Error> error) {
        if (!self)
            return;
        if (error)
            self->alert(failureTitle, error->description);
        else
            self->refreshDeviceSection();
    };
}

void MenuBarController::setDisplayMode(QAction* item) {
    if (item->data().typeId() != QMetaType::QString)
        return;
    DeviceClient::setDisplayMode(item->data().toString(), alertOrRefresh(QStringLiteral("切换失败")));
}

void MenuBarController::setPetPreset(QAction* item) {
    if (item->data().typeId() != QMetaType::QString)
        return;
    currentPetPreset = item->data().toString();
    DeviceClient::setPetAppearance(currentPetPreset, currentPetScale,
                                   alertOrRefresh(QStringLiteral("设置失败")));
}

void MenuBarController::setPetScale(QAction* item) {
    if (item->data().typeId() != QMetaType::Int)
        return;
    currentPetScale = item->data().toInt();
    DeviceClient::setPetAppearance(currentPetPreset, currentPetScale,
                                   alertOrRefresh(QStringLiteral("设置失败")));
}

void MenuBarController::resetSprite(QAction* item) {
    if (item->data().typeId() != QMetaType::QString)
        return;
    DeviceClient::resetSprite(item->data().toString(), [self = QPointer(this)](std::optional<Error> error) {
        if (self && error)
            self->alert(QStringLiteral("恢复失败"), error->description);
    });
}

void MenuBarController::setBTCInterval(QAction* item) {
    const auto interval = marketIntervalFromRaw(item->data().toString());
    if (!interval || !s.market)
        return;
    s.market->setInterval(*interval);
    check(intervalGroup, item);
}

void MenuBarController::setMarketRefreshInterval(QAction* item) {
    const auto period = marketRefreshIntervalFromRaw(item->data().toString());
    if (!period || !s.market)
        return;
    s.market->setRefreshInterval(*period);
    updateMarketRefreshIntervalStates();
}

void MenuBarController::setMarketInstrument(QAction* item) {
    if (!s.market)
        return;
    const QString id = item->data().toString();
    for (const MarketInstrument& instrument : s.market->favoriteItems())
        if (instrument.id == id) {
            s.market->setInstrument(instrument);
            break;
        }
    updateMarketInstrumentStates();
}

void MenuBarController::searchMarket() {
    if (!s.alerts || !s.market)
        return;
    const Alerts::Answer answer = s.alerts->prompt(
        QStringLiteral("搜索/添加行情"),
        QStringLiteral("输入 A 股、港股、美股或韩股代码；可带 sh/sz/bj/hk/us/kr 前缀。例：600519、hk00700、"
                       "AAPL、kr005930"),
        QStringLiteral("600519 / hk00700 / AAPL / kr005930"), QString(),
        {QStringLiteral("显示并收藏"), QStringLiteral("仅显示"), QStringLiteral("取消")});
    if (answer.button != 0 && answer.button != 1)
        return;
    const auto instrument = MarketInstrument::parse(answer.text);
    if (!instrument) {
        alert(QStringLiteral("无法识别"),
              QStringLiteral("请使用代码或带市场前缀的代码，例如 sh600519、hk00700、AAPL、kr005930。"));
        return;
    }
    if (answer.button == 0 && !s.market->addFavorite(*instrument))
        alert(QStringLiteral("收藏已满"), QStringLiteral("行情标的最多收藏 15 个；本次已仅显示该标的。"));
    s.market->setInstrument(*instrument);
    rebuildMarketInstrumentMenu();
    updateMarketInstrumentStates();
}

void MenuBarController::setKimiAPIKey() {
    if (!s.alerts)
        return;
    const Alerts::Answer answer = s.alerts->prompt(
        QStringLiteral("Kimi Code API Key"),
        QStringLiteral("优先自动使用有效的 Kimi Code CLI 登录；这里的 Key 仅作后备，并保存到系统钥匙串。"),
        QStringLiteral("粘贴 Kimi Code API Key"), QString(),
        {QStringLiteral("保存"), QStringLiteral("取消")});
    if (answer.button != 0)
        return;
    if (SecureCredentialStore::save(answer.text,
                                    QString::fromLatin1(SecureCredentialStore::kimiCodeApiKeyAccount)))
        alert(QStringLiteral("已保存"), QStringLiteral("Kimi Code API Key 已安全保存到系统钥匙串。"));
    else
        alert(QStringLiteral("保存失败"), QStringLiteral("无法写入系统钥匙串。"));
    if (s.refreshUsage)
        s.refreshUsage();
}

void MenuBarController::clearKimiAPIKey() {
    if (SecureCredentialStore::save(std::nullopt,
                                    QString::fromLatin1(SecureCredentialStore::kimiCodeApiKeyAccount)))
        alert(QStringLiteral("已清除"), QStringLiteral("桥接 App 仍会优先自动读取 Kimi Code CLI 登录。"));
    else
        alert(QStringLiteral("清除失败"), QStringLiteral("无法更新系统钥匙串。"));
    if (s.refreshUsage)
        s.refreshUsage();
}

void MenuBarController::setDeviceAddress() {
    if (!s.alerts)
        return;
    const Alerts::Answer answer =
        s.alerts->prompt(QStringLiteral("设备地址"),
                         QStringLiteral("ESP8266 时钟的 IP（设备开机时屏幕上会显示，例如 192.168.1.50）"),
                         QStringLiteral("192.168.1.50"), Settings::deviceHost(),
                         {QStringLiteral("保存"), QStringLiteral("取消")});
    if (answer.button != 0)
        return;
    Settings::setDeviceHost(answer.text.trimmed());
    refreshDeviceSection();
}

void MenuBarController::openDevicePage() {
    const auto base = DeviceClient::baseURL();
    if (!base) {
        setDeviceAddress();
        return;
    }
    QDesktopServices::openUrl(*base);
}

void MenuBarController::openPetPicker() {
    if (Settings::deviceHost().isEmpty())
        setDeviceAddress();
    if (s.showPetPicker)
        s.showPetPicker();
}

void MenuBarController::autoPairAction() {
    deviceInfoItem->setText(QStringLiteral("设备：正在查找…"));
    const QPointer<MenuBarController> self(this);
    DeviceClient::autoPair(
        [self](const QString& progress) {
            if (self)
                self->deviceInfoItem->setText(QStringLiteral("设备：") + progress);
        },
        [self](std::optional<QString> found) {
            if (!self)
                return;
            if (found)
                self->alert(QStringLiteral("配对成功"), QStringLiteral("已找到设备并配对：") + *found);
            else
                self->alert(
                    QStringLiteral("未找到设备"),
                    QStringLiteral("局域网内没有发现 ESP8266 时钟。请确认：\n"
                                   "1. 设备已通电并连上同一个 WiFi（首次使用需通过 Glimmet-Setup 热点配网）\n"
                                   "2. 路由器未开启\"客户端隔离\""));
            self->refreshDeviceSection();
        });
}

void MenuBarController::pointBridgeHere() {
    const auto ip = DeviceClient::localIPv4();
    if (!ip) {
        alert(QStringLiteral("失败"), QStringLiteral("获取本机局域网 IP 失败"));
        return;
    }
    const QString address = *ip + u':' + QString::number(s.port);
    DeviceClient::setBridgeHost(address, [self = QPointer(this), address](std::optional<Error> error) {
        if (!self)
            return;
        if (error)
            self->alert(QStringLiteral("设置失败"), error->description);
        else
            self->alert(QStringLiteral("已设置"),
                        QStringLiteral("设备将从 http://") + address + QStringLiteral("/status 拉取状态"));
    });
}

void MenuBarController::showAddress() {
    const QString address =
        DeviceClient::localIPv4().value_or(QStringLiteral("<本机局域网IP>")) + u':' + QString::number(s.port);
    alert(QStringLiteral("桥接服务地址"), QStringLiteral("http://") + address +
                                              QStringLiteral("/status\n\n设备端 Bridge host 填：") + address);
}

} // namespace glimmet
