#include "app/App.h"

#include "common/Clock.h"
#include "common/HttpClient.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "monitors/MprisNowPlayingSource.h"
#include "monitors/NetCounterSource.h"
#include "monitors/NetSpeedMonitor.h"
#include "monitors/NowPlayingMonitor.h"
#include "monitors/SystemStatsMonitor.h"
#include "server/BridgeRoutes.h"
#include "server/HTTPServer.h"
#include "status/StatusService.h"
#include "usage/ModelPricing.h"
#include "usage/UsageFetcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThreadPool>

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
    // 1. No new requests: the server's queue ends after the request it is answering.
    server.reset();
    // 2. Requests still on the wire end now, later ones fail at once, so the pool's workers
    //    (quota cycles, artwork downloads, keychain reads) come to an end quickly...
    HttpClient::shared().shutdown();
    // 3. ...and are waited for while every service they may reach still exists.
    QThreadPool::globalInstance()->waitForDone();
    Settings::flush();
    // 4. The services go in the reverse order of their creation.
    nowPlaying.reset();
    net.reset();
    usage.reset();
    status.reset();
}

void App::start() {
    const auto clock = Clock::system();
    status = std::make_shared<StatusService>(clock);
    usage = std::make_shared<UsageFetcher>(clock);
    status->setUsage(usage);
    net = std::make_shared<NetSpeedMonitor>(std::make_shared<SysfsNetCounterSource>(), clock);
    net->start();
    nowPlaying =
        std::make_shared<NowPlayingMonitor>(std::make_shared<MprisNowPlayingSource>(QString(), clock), clock);
    nowPlaying->start();
    ModelPricing::shared()->refresh();
    status->setMusicPlayingProvider([weak = std::weak_ptr(nowPlaying)] {
        const auto monitor = weak.lock();
        return monitor && monitor->snapshot().playing;
    });

    BridgeServices services;
    services.status = status;
    services.net = net;
    services.systemStats = SystemStatsMonitor::shared();
    services.nowPlaying = nowPlaying;
    RouteTables tables = BridgeRoutes::make(services);
    server = std::make_unique<HTTPServer>(bridgePort, std::move(tables.routes),
                                          std::move(tables.binaryRoutes), std::move(tables.postRoutes));
    server->onRequest = [clock](const QString& path, const QString& host) {
        BridgeRoutes::onRequest(path, host, *clock);
    };

    const QString port = QString::number(bridgePort);
    if (const auto started = server->start(); !started)
        Log::line(QStringLiteral("[bridge] failed to bind port ") + port + QStringLiteral(": ") +
                  started.error().description);
    else
        Log::line(QStringLiteral("[bridge] serving /status on 0.0.0.0:") + port);
    Log::line(QStringLiteral("[bridge] no status-bar menu in this build; running headless"));

    usage->startAutoRefresh(120);
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
