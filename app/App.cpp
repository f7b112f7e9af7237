#include "app/App.h"

#include "common/Clock.h"
#include "common/HttpClient.h"
#include "common/Log.h"
#include "common/SerialQueue.h"
#include "common/Settings.h"
#include "device/DeviceClient.h"
#include "device/SerialLink.h"
#include "market/MarketMonitor.h"
#include "monitors/MprisNowPlayingSource.h"
#include "monitors/NetCounterSource.h"
#include "monitors/NetSpeedMonitor.h"
#include "monitors/NowPlayingMonitor.h"
#include "monitors/SystemStatsMonitor.h"
#include "server/BridgeRoutes.h"
#include "server/HTTPServer.h"
#include "server/RemoteToken.h"
#include "status/ModelPricing.h"
#include "status/RemoteHosts.h"
#include "status/StatusService.h"
#include "ui/DialogAlerts.h"
#include "ui/MenuBarController.h"
#include "ui/MirrorPopoverController.h"
#include "ui/PetPickerWindow.h"
#include "ui/TrayHostWatcher.h"
#include "usage/UsageFetcher.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QSysInfo>
#include <QSystemTrayIcon>
#include <QThreadPool>
#include <QTimer>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace glimmet {

App::App() = default;

App::~App() {
    stop();
}

void App::stop() {
    if (!status)
        return;
    // 1. Nothing starts new work: the menu and the popover, the pairing repair and the serial
    //    link go, and the server's queue ends after the request it is answering.
    trayHosts.reset();
    menuBar.reset();
    pairingRepair.reset();
    serial.reset();
    server.reset();
    // 2. Requests still on the wire end now, later ones fail at once, so the pool's workers
    //    (quota cycles, artwork downloads, keychain reads) come to an end quickly...
    HttpClient::shared().shutdown();
    // 3. ...and are waited for while every service they may reach still exists.
    QThreadPool::globalInstance()->waitForDone();
    Settings::flush();
    // 4. The services go in the reverse order of their creation.
    market.reset();
    nowPlaying.reset();
    net.reset();
    usage.reset();
    status.reset();
    remote.reset();
}

void App::start() {
    const auto clock = Clock::system();
    remote = std::make_shared<RemoteHosts>(QSysInfo::machineHostName(), clock);
    status = std::make_shared<StatusService>(clock);
    status->setRemoteHosts(remote);
    usage = std::make_shared<UsageFetcher>(clock);
    status->setUsage(usage);
    net = std::make_shared<NetSpeedMonitor>(std::make_shared<ProcNetCounterSource>(), clock);
    net->start();
    nowPlaying =
        std::make_shared<NowPlayingMonitor>(std::make_shared<MprisNowPlayingSource>(QString(), clock), clock);
    nowPlaying->start();
    market = std::make_shared<MarketMonitor>(clock);
    market->start();
    ModelPricing::shared()->refresh();
    status->setMusicPlayingProvider([weak = std::weak_ptr(nowPlaying)] {
        const auto monitor = weak.lock();
        return monitor && monitor->snapshot().playing;
    });
    serial = std::make_unique<SerialLink>(status, net);
    serial->start();

    BridgeServices services;
    services.status = status;
    services.net = net;
    services.systemStats = SystemStatsMonitor::shared();
    services.nowPlaying = nowPlaying;
    services.market = market;
    services.remote = remote;
    if (const auto token = RemoteToken::loadOrCreate())
        services.remoteToken = *token;
    else
        Log::line(QStringLiteral("[bridge] only this machine can report agents: ") +
                  token.error().description);
    RouteTables tables = BridgeRoutes::make(services);
    server =
        std::make_unique<HTTPServer>(bridgePort, std::move(tables.routes), std::move(tables.binaryRoutes),
                                     std::move(tables.postRoutes), std::move(tables.requestRoutes));
    server->onRequest = [clock](const QString& path, const QString& host) {
        BridgeRoutes::onRequest(path, host, *clock);
    };

    pairingRepair = std::make_unique<QTimer>();
    QObject::connect(pairingRepair.get(), &QTimer::timeout,
                     [] { DeviceClient::healPairingIfNeeded(bridgePort); });
    pairingRepair->start(60'000);

    const QString port = QString::number(bridgePort);
    if (const auto started = server->start(); !started)
        Log::line(QStringLiteral("[bridge] failed to bind port ") + port + QStringLiteral(": ") +
                  started.error().description);
    else
        Log::line(QStringLiteral("[bridge] serving /status on 0.0.0.0:") + port);
    startMenu();

    usage->startAutoRefresh(120);
}

// The tray icon with its control menu and mirror popover when the desktop has a tray. A tray
// host that starts after the bridge (a login session, the systemd user unit) is waited for:
// Qt is asked only once it is there, since Qt keeps its first answer for the whole process.
void App::startMenu() {
    if (TrayHostWatcher::hostPresent())
        return showMenu(false);
    if (!TrayHostWatcher::hostCanAppear()) {
        Log::line(QStringLiteral("[bridge] no system tray on this display; running headless without a menu"));
        return;
    }
    Log::line(QStringLiteral("[bridge] no system tray yet; running headless until a tray host starts"));
    trayHosts = std::make_unique<TrayHostWatcher>();
    QObject::connect(trayHosts.get(), &TrayHostWatcher::hostAppeared, trayHosts.get(), [this] {
        trayHosts.release()->deleteLater();
        showMenu(true);
    });
}

void App::showMenu(bool later) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        Log::line(QStringLiteral("[bridge] no system tray on this display; running headless without a menu"));
        return;
    }
    auto* popover = new MirrorPopoverController(status, net, nowPlaying, market);
    MenuBarController::Services services;
    services.service = status;
    services.usage = usage;
    services.refreshUsage = [weak = std::weak_ptr(usage)] {
        if (const auto fetcher = weak.lock())
            fetcher->refresh();
    };
    services.port = bridgePort;
    services.market = market;
    services.alerts = std::make_shared<DialogAlerts>();
    services.showPetPicker = [] { PetPickerWindow::shared().show(); };
    services.remote = remote;
    menuBar = std::make_unique<MenuBarController>(std::move(services), popover);
    popover->setParent(menuBar.get());
    menuBar->buildMenu();
    menuBar->showStatusItem(MenuBarController::happyMacIcon());
    // The quota lines follow their data, so that the menu is current before it opens.
    const QPointer<MenuBarController> menu = menuBar.get();
    usage->setOnUpdate([menu] {
        if (menu)
            menu->refreshUsageLines();
    });
    status->setOnScan([menu] {
        runOnMain([menu] {
            if (menu)
                menu->refreshUsageLines();
        });
    });
    if (later)
        Log::line(QStringLiteral("[bridge] a system tray appeared; the menu is in it now"));
}

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto ignored = ::write(signalPipe[1], &byte, 1);
}

} // namespace

void quitOnTerminationSignals() {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier] {
        char byte = 0;
        [[maybe_unused]] const auto ignored = ::read(signalPipe[0], &byte, 1);
        notifier->setEnabled(false);
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

} // namespace glimmet
