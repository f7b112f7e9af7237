#pragma once

#include "common/Clock.h"
#include "server/HTTPServer.h"

#include <memory>

namespace glimmet {

class MarketMonitor;
class NetSpeedMonitor;
class NowPlayingMonitor;
class RemoteHosts;
class StatusService;
class SystemStatsMonitor;

// The services whose data the bridge serves; a route exists only for a service that is set.
struct BridgeServices {
    std::shared_ptr<StatusService> status;
    std::shared_ptr<NetSpeedMonitor> net;
    std::shared_ptr<SystemStatsMonitor> systemStats; // the CPU and memory figures of "/net"
    std::shared_ptr<NowPlayingMonitor> nowPlaying;
    std::shared_ptr<MarketMonitor> market;
    std::shared_ptr<RemoteHosts> remote; // the agents of other machines
    QByteArray remoteToken;              // what a non-loopback peer shows to write about them
};

struct RouteTables {
    RouteTable routes;
    RouteTable binaryRoutes;
    PostRouteTable postRoutes;
    RequestRouteTable requestRoutes;
};

// The bridge's route tables and request hook. Routes hold their services weakly and answer
// from what the services already hold; they run on the server's queue.
class BridgeRoutes {
public:
    static RouteTables make(const BridgeServices& services);

    // POST /event: records an agent's hook event; answers {"ok":true} or {"ok":false}. An event
    // whose "host" names another machine goes to `remote` when there is one.
    static QByteArray handleEvent(StatusService& status, const QByteArray& body,
                                  RemoteHosts* remote = nullptr);

    // The server's request hook: a poll of /status, /net or /music from another machine
    // records the clock's address and poll time.
    static void onRequest(const QString& path, const QString& host, const Clock& clock);
};

} // namespace glimmet
