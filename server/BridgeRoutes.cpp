#include "server/BridgeRoutes.h"

#include "common/Json.h"
#include "common/Settings.h"
#include "device/DeviceClient.h"
#include "market/MarketMonitor.h"
#include "monitors/NetSpeedMonitor.h"
#include "monitors/NowPlayingMonitor.h"
#include "monitors/SystemStatsMonitor.h"
#include "server/RemoteRoutes.h"
#include "status/RemoteHosts.h"
#include "status/StatusService.h"

#include <mutex>
#include <optional>
#include <utility>

namespace glimmet {

namespace {

// A GET route answering from `read(service)` while the service exists.
template <class Service, class Read> Route route(const std::shared_ptr<Service>& service, Read read) {
    return [weak = std::weak_ptr<Service>(service), read]() -> QByteArray {
        const auto strong = weak.lock();
        return strong ? read(*strong) : QByteArray();
    };
}

} // namespace

RouteTables BridgeRoutes::make(const BridgeServices& services) {
    RouteTables tables;
    if (services.status) {
        const Route status =
            route(services.status, [](StatusService& s) { return s.snapshot(false).jsonData(); });
        tables.routes.insert(QStringLiteral("/"), status);
        tables.routes.insert(QStringLiteral("/status"), status);
        tables.postRoutes.insert(QStringLiteral("/event"),
                                 [weak = std::weak_ptr(services.status),
                                  remote = std::weak_ptr(services.remote)](const QByteArray& body) {
                                     const auto strong = weak.lock();
                                     return strong ? handleEvent(*strong, body, remote.lock().get())
                                                   : QByteArrayLiteral("{\"ok\":false}");
                                 });
    }
    if (services.net) {
        tables.routes.insert(
            QStringLiteral("/net"),
            route(services.net, [stats = std::weak_ptr(services.systemStats)](NetSpeedMonitor& net) {
                const auto system = stats.lock();
                if (!system)
                    return net.jsonData(std::nullopt, std::nullopt);
                const SystemStatsMonitor::Load load = system->snapshot();
                return net.jsonData(load.cpu, load.mem);
            }));
    }
    if (services.nowPlaying) {
        tables.routes.insert(QStringLiteral("/music"),
                             route(services.nowPlaying, [](NowPlayingMonitor& m) { return m.jsonData(); }));
        tables.binaryRoutes.insert(
            QStringLiteral("/music/cover.raw"),
            route(services.nowPlaying, [](NowPlayingMonitor& m) { return m.coverRGB565(); }));
        tables.binaryRoutes.insert(
            QStringLiteral("/music/text.raw"),
            route(services.nowPlaying, [](NowPlayingMonitor& m) { return m.textRGB565(); }));
    }
    if (services.market) {
        tables.routes.insert(QStringLiteral("/btc"),
                             route(services.market, [](MarketMonitor& m) { return m.jsonData(); }));
        tables.routes.insert(QStringLiteral("/btc/version"),
                             route(services.market, [](MarketMonitor& m) { return m.frameVersionJSON(); }));
        tables.binaryRoutes.insert(
            QStringLiteral("/btc/frame.rle"),
            route(services.market, [](MarketMonitor& m) { return m.cachedPackedFrame(); }));
        tables.binaryRoutes.insert(
            QStringLiteral("/btc/frame.raw"),
            route(services.market, [](MarketMonitor& m) { return m.frameEnvelope(); }));
    }
    if (services.remote)
        tables.requestRoutes = RemoteRoutes::make(services.remote, services.remoteToken);
    return tables;
}

QByteArray BridgeRoutes::handleEvent(StatusService& status, const QByteArray& body, RemoteHosts* remote) {
    const auto object = parseObject(body);
    const auto agent = object ? string(object->value(QStringLiteral("agent"))) : std::nullopt;
    const auto event = object ? string(object->value(QStringLiteral("event"))) : std::nullopt;
    if (!agent || !event)
        return QByteArrayLiteral("{\"ok\":false}");
    const auto message = string(object->value(QStringLiteral("message")));
    const QString host =
        string(object->value(QStringLiteral("host"))).value_or(QString()).trimmed().left(255);
    if (remote && !remote->isOwnHost(host))
        remote->recordEvent(host, *agent, *event, message);
    else
        status.recordEvent(*agent, *event, message);
    return QByteArrayLiteral("{\"ok\":true}");
}

void BridgeRoutes::onRequest(const QString& path, const QString& host, const Clock& clock) {
    if (path != u"/status" && path != u"/net" && path != u"/music")
        return;
    if (host == u"127.0.0.1" || host == u"::1")
        return;
    DeviceClient::setDevicePollAt(clock.now());

    // The settings file is written on a worker thread; polls that arrive while a write is
    // waiting only update the host it will store. A clock that stays put costs no write at
    // all: its host was stored, and nothing was written to the store since.
    static std::mutex lock;
    static std::optional<QString> waiting;
    static QString stored;
    static std::uint64_t storedRevision = 0;
    {
        std::lock_guard guard(lock);
        if (!waiting && host == stored && Settings::revision() == storedRevision)
            return;
        const bool queued = waiting.has_value();
        waiting = host;
        if (queued)
            return;
    }
    Settings::writeLater([] {
        QString seen;
        {
            std::lock_guard guard(lock);
            seen = *std::exchange(waiting, std::nullopt);
        }
        // Taken before the writes: a write of ours, or of anyone meanwhile, makes the next
        // poll check again, and that check writes nothing.
        const std::uint64_t revision = Settings::revision();
        Settings::setDeviceLastSeen(seen);
        if (Settings::deviceHost().isEmpty())
            Settings::setDeviceHost(seen);
        std::lock_guard guard(lock);
        stored = seen;
        storedRevision = revision;
    });
}

} // namespace glimmet
