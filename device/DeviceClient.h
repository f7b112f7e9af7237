#pragma once

#include "common/Error.h"
#include "device/DeviceInfo.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>

#include <atomic>
#include <cstdint>
#include <functional>
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

    // Sprite slots ("claude", "codex"). Without a clock address each completes at once with
    // noHostError() on the caller's thread.
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

private:
    static void applySetting(const QMap<QString, QString>& command, const QString& path,
                             const QMap<QString, QString>& fields, Completion completion);
    static void postForm(const QString& path, const QMap<QString, QString>& fields, Completion completion);
    static void run(HttpRequest request, Completion completion);
    static QUrl url(const QUrl& base, const QString& path);

    static inline std::atomic<double> _devicePollAt{0};
    // Main thread only.
    static inline std::optional<DeviceInfo> wiredInfo;
};

} // namespace glimmet
