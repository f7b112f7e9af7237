#pragma once

#include <QObject>

#include <memory>

namespace glimmet {

class HTTPServer;
class NetSpeedMonitor;
class NowPlayingMonitor;
class StatusService;
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
    std::shared_ptr<StatusService> status;
    std::shared_ptr<UsageFetcher> usage;
    std::shared_ptr<NetSpeedMonitor> net;
    std::shared_ptr<NowPlayingMonitor> nowPlaying;
    std::unique_ptr<HTTPServer> server;
};

// Quits the application's event loop on SIGINT or SIGTERM.
void quitOnTerminationSignals();

} // namespace glimmet
