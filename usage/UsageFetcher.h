#pragma once

#include "common/Clock.h"
#include "common/HttpClient.h"
#include "status/UsageSource.h"

#include <QByteArray>
#include <QJsonValue>
#include <QPointer>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

class QTimer;

namespace glimmet {

// Keeps the latest quota reading of Claude, Codex, Grok and Kimi Code. A cycle runs the
// four fetches in parallel on the global thread pool, merges their results and sets the
// earliest next cycle (60 s later, 300 s after any 429). Callable from any thread; the
// auto-refresh timer lives on the main thread. Always owned by a std::shared_ptr (the app
// keeps one for the process's life).
class UsageFetcher : public UsageSource, public std::enable_shared_from_this<UsageFetcher> {
public:
    static constexpr double minFetchInterval = 60;
    static constexpr double rateLimitBackoff = 300;

    // Fetches from the providers' quota endpoints.
    explicit UsageFetcher(std::shared_ptr<const Clock> clock = Clock::system());
    ~UsageFetcher() override;

    UsageFetcher(const UsageFetcher&) = delete;
    UsageFetcher& operator=(const UsageFetcher&) = delete;

    // Asks for a cycle and returns at once: true when one started, false when the request
    // was dropped because a cycle runs or the earliest next cycle has not come.
    bool refresh();

    // Main thread only: refreshes now and then every `interval` seconds, replacing an
    // earlier timer.
    void startAutoRefresh(double interval);

    // Runs on the main thread after every cycle.
    void setOnUpdate(std::function<void()> onUpdate);

    ProviderUsage usage(UsageProvider provider) const override;

    // Sends `request` and blocks the calling worker thread until the answer: the body and
    // HTTP status, absent on a transport failure or time-out.
    static std::optional<std::pair<QByteArray, int>> syncRequest(const HttpRequest& request);

    // Whole minutes from `now` until an internet date-time, never negative; absent when the
    // text does not parse.
    static std::optional<std::int64_t> minutesUntil(const QString& iso, double now);
    // The same for a Unix time in seconds (or milliseconds when above 1e10), given as a
    // number or numeric string, or an internet date-time string.
    static std::optional<std::int64_t> minutesUntil(const QJsonValue& value, double now);

private:
    struct UsageBatch;

    void finishCycle(const std::array<ProviderUsage, 4>& results);
    ProviderUsage& stored(UsageProvider provider);
    const ProviderUsage& stored(UsageProvider provider) const;

    const std::shared_ptr<const Clock> clock;

    mutable std::mutex lock;
    ProviderUsage _claude;
    ProviderUsage _codex;
    ProviderUsage _grok;
    ProviderUsage _kimi;
    bool fetching = false;
    double nextAllowedFetch = -std::numeric_limits<double>::infinity();
    std::function<void()> onUpdate;
    QPointer<QTimer> timer; // main thread
};

} // namespace glimmet
