#pragma once

#include <QObject>

#include <memory>

class QTimer;

namespace glimmet {

class HTTPServer;
class MarketMonitor;
class MenuBarController;
class NetSpeedMonitor;
class NowPlayingMonitor;
class RemoteHosts;
class SerialLink;
class StatusService;
class TrayHostWatcher;
class UsageFetcher;

// The normal bridge: creates every long-lived service once, wires them together and starts
// the server; on destruction tears them down in a fixed order. Lives on the main thread; main()
// owns it. The threads, queues and the order of start and teardown: docs/ARCHITECTURE.md.
class App {
public:
    static constexpr quint16 bridgePort = 8765;

    App();
    ~App();

    // Creates and starts every service (a new service is a member created here).
    void start();

    // Stops serving, ends the network work still running, waits for the thread pool's
    // workers, then releases the services in the reverse order of their creation. Called by
    // the destructor; the main loop must have returned.
    void stop();

private:
    void startMenu();
    // The tray icon with its menu and popover; `later`: a tray host appeared after the start.
    void showMenu(bool later);

    std::shared_ptr<StatusService> status;
    std::shared_ptr<RemoteHosts> remote;
    std::shared_ptr<UsageFetcher> usage;
    std::shared_ptr<NetSpeedMonitor> net;
    std::shared_ptr<NowPlayingMonitor> nowPlaying;
    std::shared_ptr<MarketMonitor> market;
    std::unique_ptr<HTTPServer> server;
    std::unique_ptr<SerialLink> serial;
    std::unique_ptr<QTimer> pairingRepair;
    std::unique_ptr<TrayHostWatcher> trayHosts; // until a tray host appears
    std::unique_ptr<MenuBarController> menuBar;
};

// Quits the application's event loop on SIGINT or SIGTERM.
void quitOnTerminationSignals();

} // namespace glimmet
