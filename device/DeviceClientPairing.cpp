// The pairing operations of DeviceClient: finding the clock and repairing a broken pairing.
#include "common/HttpClient.h"
#include "common/Json.h"
#include "common/Log.h"
#include "common/SerialQueue.h"
#include "common/Settings.h"
#include "device/DeviceClient.h"

#include <QJsonObject>
#include <QThreadPool>

#include <condition_variable>
#include <mutex>
#include <semaphore>

namespace glimmet {

namespace {

constexpr int maxProbesInFlight = 32;
constexpr double scanProbeTimeout = 0.8;
constexpr double rememberedProbeTimeout = 2;
constexpr double quietBeforeRepair = 180;
constexpr double repairInterval = 300;
constexpr std::int64_t staleUpdateSeconds = 60;

// Whether an info document names a Glimmet clock: a string "mode" and a "sprite_rev" key.
bool isClockInfo(const QByteArray& body) {
    const auto object = parseObject(body);
    return object && object->value(QLatin1String("mode")).isString() &&
           object->contains(QLatin1String("sprite_rev"));
}

// Pairing's view of the world; written by tests before any pairing runs.
struct World {
    std::shared_ptr<const Clock> clock = Clock::system();
    std::function<NetworkInterfaces()> interfaces = &NetworkInterfaces::current;
    DeviceClient::Probe probe = [](const QString& ip, double timeout, std::function<void(bool)> verified) {
        HttpRequest request;
        request.url = QUrl(QStringLiteral("http://") + ip + QStringLiteral("/api/info"));
        request.deadline = timeout;
        request.maxBodyBytes = 64 * 1024;
        HttpClient::shared().send(
            std::move(request), nullptr,
            [verified = std::move(verified)](HttpResponse r) { verified(!r.error && isClockInfo(r.body)); });
    };
};

World& world() {
    static World instance;
    return instance;
}

// The address to try for the stored clock address: its host, with the port unless it is 80.
QString rememberedHost(const QString& stored) {
    QString text = stored.trimmed();
    if (text.isEmpty())
        return {};
    if (!text.startsWith(QLatin1String("http")))
        text.prepend(QLatin1String("http://"));
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return {};
    const int port = url.port(80);
    return port == 80 ? url.host() : url.host() + u':' + QString::number(port);
}

} // namespace

void DeviceClient::setClock(std::shared_ptr<const Clock> clock) {
    world().clock = std::move(clock);
}

void DeviceClient::setNetworkInterfaceSource(std::function<NetworkInterfaces()> source) {
    world().interfaces = std::move(source);
}

void DeviceClient::setProbe(Probe probe) {
    world().probe = std::move(probe);
}

std::optional<QString> DeviceClient::localIPv4() {
    return world().interfaces().preferredIPv4();
}

void DeviceClient::verifyDevice(const QString& ip, double timeout, std::function<void(bool)> completion) {
    world().probe(ip, timeout, [completion = std::move(completion)](bool verified) {
        runOnMain([completion, verified] { completion(verified); });
    });
}

void DeviceClient::autoPair(std::function<void(const QString&)> progress,
                            std::function<void(std::optional<QString>)> completion) {
    if (serialLinked() && wiredInfo) {
        progress(QStringLiteral("USB 串口已连接"));
        const QString ip = currentWiredInfo()->ip;
        return completion(!ip.isEmpty() && ip != u"0.0.0.0" ? ip : QStringLiteral("USB"));
    }
    auto candidates = std::make_shared<QStringList>();
    if (const QString seen = Settings::deviceLastSeen(); !seen.isEmpty())
        candidates->append(seen);
    if (const QString host = rememberedHost(Settings::deviceHost());
        !host.isEmpty() && !candidates->contains(host))
        candidates->append(host);
    tryNext(std::move(candidates), std::move(progress), std::move(completion));
}

void DeviceClient::tryNext(std::shared_ptr<QStringList> candidates,
                           std::function<void(const QString&)> progress,
                           std::function<void(std::optional<QString>)> completion) {
    if (candidates->isEmpty())
        return scanSubnet(std::move(progress), std::move(completion));
    const QString candidate = candidates->takeFirst();
    progress(QStringLiteral("验证 ") + candidate + QStringLiteral("…"));
    if (!QUrl(QStringLiteral("http://") + candidate + QStringLiteral("/api/info"), QUrl::StrictMode)
             .isValid())
        return tryNext(std::move(candidates), std::move(progress), std::move(completion));
    verifyDevice(candidate, rememberedProbeTimeout, [=](bool verified) {
        if (!verified)
            return tryNext(candidates, progress, completion);
        Settings::setDeviceHost(candidate);
        completion(candidate);
    });
}

void DeviceClient::scanSubnet(std::function<void(const QString&)> progress,
                              std::function<void(std::optional<QString>)> completion) {
    const auto local = localIPv4();
    if (!local || !local->contains(u'.'))
        return completion(std::nullopt);
    const QString prefix = local->left(local->lastIndexOf(u'.'));
    progress(QStringLiteral("扫描 ") + prefix + QStringLiteral(".1-254…"));

    // Shared by the loop and the probes' callbacks, which may outlive the loop's thread.
    struct Scan {
        std::counting_semaphore<maxProbesInFlight> permits{maxProbesInFlight};
        std::mutex lock;
        std::condition_variable idle;
        int inFlight = 0;
        std::optional<QString> found;
    };
    QThreadPool::globalInstance()->start([prefix, own = *local, probe = world().probe, completion] {
        auto scan = std::make_shared<Scan>();
        for (int i = 1; i <= 254; ++i) {
            const QString candidate = prefix + u'.' + QString::number(i);
            if (candidate == own)
                continue;
            scan->permits.acquire();
            {
                std::lock_guard guard(scan->lock);
                if (scan->found) {
                    scan->permits.release();
                    continue;
                }
                ++scan->inFlight;
            }
            probe(candidate, scanProbeTimeout, [scan, candidate](bool verified) {
                {
                    std::lock_guard guard(scan->lock);
                    if (verified && !scan->found)
                        scan->found = candidate;
                    --scan->inFlight;
                }
                scan->idle.notify_all();
                scan->permits.release();
            });
        }
        std::unique_lock guard(scan->lock);
        scan->idle.wait(guard, [&] { return scan->inFlight == 0; });
        runOnMain([found = scan->found, completion] {
            if (found)
                Settings::setDeviceHost(*found);
            completion(found);
        });
    });
}

void DeviceClient::healPairingIfNeeded(quint16 port) {
    const double now = world().clock->now();
    if (now - devicePollAt() <= quietBeforeRepair || _healInFlight)
        return;
    if (now - lastHealAttempt <= repairInterval)
        return;
    _healInFlight = true;
    lastHealAttempt = now;
    autoPair([](const QString&) {},
             [port](std::optional<QString> found) {
                 if (!found) {
                     _healInFlight = false;
                     return;
                 }
                 fetchInfo([port, clock = *found](Result<DeviceInfo> info) {
                     const auto local = info ? localIPv4() : std::nullopt;
                     if (local && (info->bridge.isEmpty() || info->lastUpdateS < 0 ||
                                   info->lastUpdateS > staleUpdateSeconds)) {
                         const QString bridge = *local + u':' + QString::number(port);
                         setBridgeHost(bridge, [bridge, clock](std::optional<Error> error) {
                             Log::line(QStringLiteral("[pair] pushed bridge ") + bridge +
                                       QStringLiteral(" to ") + clock + QStringLiteral(": ") +
                                       (error ? error->description : QStringLiteral("ok")));
                         });
                     }
                     _healInFlight = false;
                 });
             });
}

} // namespace glimmet
