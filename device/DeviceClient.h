#pragma once

#include "common/Clock.h"
#include "common/Error.h"
#include "device/DeviceInfo.h"
#include "device/NetworkInterfaces.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace glimmet {

struct HttpRequest;

// The bridge's client of the clock's own HTTP interface. Class-level only: it has no
// instances, and its little shared state lives in class-level fields. Operations are called
// on the main thread and complete there; while the serial link is up, the setting
// operations travel over the line instead of HTTP.
class DeviceClient {
public:
    DeviceClient() = delete;

    // The outcome of a setting operation or upload: no error means success.
    using Completion = std::function<void(std::optional<Error>)>;
    using InfoCompletion = std::function<void(Result<DeviceInfo>)>;
    using DataCompletion = std::function<void(Result<QByteArray>)>;

    // When the clock last fetched data from the bridge (epoch seconds; 0 = never). Written
    // by the server's request hook, read by the pairing repair.
    static double devicePollAt() { return _devicePollAt.load(); }
    static void setDevicePollAt(double at) { _devicePollAt.store(at); }

    // The clock's base address from the "device_host" setting ("http://" put in front when
    // the value does not begin with "http"), or none when unset, blank or not a URL.
    static std::optional<QUrl> baseURL();

    // The clock's state over HTTP; when that fails, the record last received over a linked
    // serial line.
    static void fetchInfo(InfoCompletion completion);

    // Setting operations. Without a clock address (and no serial link) the completion runs
    // at once with noHostError(), on the caller's thread, before the call returns.
    static void setDisplayMode(const QString& mode, Completion completion);
    static void setBrightness(std::int64_t level, Completion completion);
    static void setPetAppearance(const QString& preset, std::int64_t scale, Completion completion);
    static void setBridgeHost(const QString& host, Completion completion);

    // Sprite slots are "claude" and "codex". Without a clock address each operation below
    // completes at once with noHostError() on the caller's thread.
    // The slot's sprite in the clock's raw format: a frame count byte, then the frames as
    // RGB565 pixels, high byte first.
    static void fetchSpriteRaw(const QString& slot, DataCompletion completion);
    static void uploadGif(const QByteArray& gif, const QString& slot, Completion completion);
    // Puts the slot back to the clock's built-in pet.
    static void resetSprite(const QString& slot, Completion completion);

    // A "#DEVICE" payload from the serial link: stored as the wired record when it decodes.
    static void acceptWiredInfo(const QByteArray& payload);
    // The last wired record, but only while the serial link is up.
    static std::optional<DeviceInfo> currentWiredInfo();

    // The errors the client makes itself (domain "DeviceClient").
    static Error noHostError();
    static Error badResponseError();
    static Error httpStatusError(int status, const QByteArray& body);

    // Wire forms of the request bodies. Form values keep Unicode letters, marks and digits
    // and "-._~"; every other character is sent as %XX per UTF-8 byte.
    static QByteArray formBody(const QMap<QString, QString>& fields);
    static QByteArray multipartBody(const QByteArray& gif, const QByteArray& boundary);

    // Pairing. The computer's LAN IPv4 address, or none.
    static std::optional<QString> localIPv4();
    // Whether http://IP/api/info answers as a Glimmet clock; the completion runs on the main
    // thread.
    static void verifyDevice(const QString& ip, double timeout, std::function<void(bool)> completion);
    // Finds the clock: the serial link when it is up, the remembered addresses, then the
    // local /24. `progress` gets short status texts; `completion` the address found (stored
    // under "device_host") or none. Both run on the main thread.
    static void autoPair(std::function<void(const QString&)> progress,
                         std::function<void(std::optional<QString>)> completion);
    // The pairing repair, run every 60 s on the main thread: after three minutes without a
    // poll from the clock (and at most every five), finds the clock again and pushes the
    // bridge's address ("LAN-IP:port") to it when its own is missing or stale.
    static void healPairingIfNeeded(quint16 port);
    static bool healInFlight() { return _healInFlight; }

    // What pairing reads of the world, replaced by tests: the time, the network interfaces,
    // and the probe that asks one address for its "api/info" (its `verified` callback may
    // run on any thread).
    using Probe = std::function<void(const QString& ip, double timeout, std::function<void(bool)> verified)>;
    static void setClock(std::shared_ptr<const Clock> clock);
    static void setNetworkInterfaceSource(std::function<NetworkInterfaces()> source);
    static void setProbe(Probe probe);

private:
    static bool serialLinked();
    static void tryNext(std::shared_ptr<QStringList> candidates, std::function<void(const QString&)> progress,
                        std::function<void(std::optional<QString>)> completion);
    static void scanSubnet(std::function<void(const QString&)> progress,
                           std::function<void(std::optional<QString>)> completion);
    static void applySetting(const QMap<QString, QString>& command, const QString& path,
                             const QMap<QString, QString>& fields, Completion completion);
    static void postForm(const QString& path, const QMap<QString, QString>& fields, Completion completion);
    static void run(HttpRequest request, Completion completion);
    static QUrl url(const QUrl& base, const QString& path);

    static inline std::atomic<double> _devicePollAt{0};
    // Main thread only.
    static inline std::optional<DeviceInfo> wiredInfo;
    static inline double lastHealAttempt = 0;
    static inline bool _healInFlight = false;
};

} // namespace glimmet
