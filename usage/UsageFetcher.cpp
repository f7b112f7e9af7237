#include "usage/UsageFetcher.h"

#include "common/Json.h"
#include "common/Log.h"
#include "common/SerialQueue.h"
#include "status/LogTimestamp.h"
#include "usage/QuotaEndpoints.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>

namespace glimmet {

namespace {

constexpr std::array providers{UsageProvider::Claude, UsageProvider::Codex, UsageProvider::Grok,
                               UsageProvider::Kimi};
constexpr std::array logNames{"claude", "codex", "grok", "kimi"};
// One blocking fetch per provider, in provider order; each always returns a complete record.
constexpr std::array fetches{&QuotaEndpoints::fetchClaude, &QuotaEndpoints::fetchCodex,
                             &QuotaEndpoints::fetchGrok, &QuotaEndpoints::fetchKimi};

std::optional<std::int64_t> wholeMinutesFrom(double now, double time) {
    const auto minutes = truncatedInteger((time - now) / 60);
    return minutes ? std::optional(std::max<std::int64_t>(0, *minutes)) : std::nullopt;
}

} // namespace

// Collects the four results of one cycle; the fetch that stores the last one ends it.
struct UsageFetcher::UsageBatch {
    std::mutex lock;
    std::array<ProviderUsage, 4> results;
    std::size_t missing = 4;

    // True for the last of the four.
    bool set(std::size_t index, ProviderUsage value) {
        std::lock_guard guard(lock);
        results[index] = std::move(value);
        return --missing == 0;
    }

    std::array<ProviderUsage, 4> copy() {
        std::lock_guard guard(lock);
        return results;
    }
};

UsageFetcher::UsageFetcher(std::shared_ptr<const Clock> clock)
    : clock(std::move(clock)) {}

UsageFetcher::~UsageFetcher() {
    // The last owner may be a finishing cycle on a worker thread: the timer belongs to the
    // main thread, so it is deleted there.
    if (timer)
        timer->deleteLater();
}

bool UsageFetcher::refresh() {
    {
        std::lock_guard guard(lock);
        if (fetching || clock->now() < nextAllowedFetch)
            return false;
        fetching = true;
    }
    auto batch = std::make_shared<UsageBatch>();
    for (std::size_t index = 0; index < fetches.size(); ++index) {
        QThreadPool::globalInstance()->start([weak = weak_from_this(), clock = clock, batch, index] {
            ProviderUsage result;
            {
                // The fetch mostly waits on the network: its thread does not count against
                // the pool's CPU-sized limit meanwhile, so the four run side by side.
                QThreadPool::globalInstance()->releaseThread();
                result = fetches[index](*clock);
                QThreadPool::globalInstance()->reserveThread();
            }
            if (!batch->set(index, std::move(result)))
                return;
            if (const auto self = weak.lock())
                self->finishCycle(batch->copy());
        });
    }
    return true;
}

void UsageFetcher::finishCycle(const std::array<ProviderUsage, 4>& results) {
    std::function<void()> update;
    {
        std::lock_guard guard(lock);
        for (std::size_t index = 0; index < results.size(); ++index) {
            const ProviderUsage& fresh = results[index];
            ProviderUsage& old = stored(providers[index]);
            // A failure keeps the last good numbers and shows only its own error.
            if (!fresh.hasData() && old.hasData())
                old.error = fresh.error;
            else
                old = fresh;
        }
        fetching = false;
        const bool limited =
            std::any_of(results.begin(), results.end(), [](const auto& r) { return r.rateLimited; });
        nextAllowedFetch = clock->now() + (limited ? rateLimitBackoff : minFetchInterval);
        update = onUpdate;
    }
    for (std::size_t index = 0; index < results.size(); ++index) {
        if (results[index].error)
            Log::line(QStringLiteral("[usage] ") + QLatin1String(logNames[index]) + QStringLiteral(": ") +
                      *results[index].error);
    }
    if (update)
        runOnMain(std::move(update));
}

void UsageFetcher::startAutoRefresh(double interval) {
    Q_ASSERT(QThread::currentThread() == QCoreApplication::instance()->thread());
    refresh();
    delete timer;
    auto* repeating = new QTimer(QCoreApplication::instance());
    const double millis = std::clamp(interval * 1000.0, 1.0, double(INT_MAX));
    repeating->setInterval(std::chrono::milliseconds(std::llround(millis)));
    QObject::connect(repeating, &QTimer::timeout, repeating, [weak = weak_from_this()] {
        if (const auto self = weak.lock())
            self->refresh();
    });
    repeating->start();
    timer = repeating;
}

void UsageFetcher::setOnUpdate(std::function<void()> callback) {
    std::lock_guard guard(lock);
    onUpdate = std::move(callback);
}

ProviderUsage UsageFetcher::usage(UsageProvider provider) const {
    std::lock_guard guard(lock);
    return stored(provider);
}

ProviderUsage& UsageFetcher::stored(UsageProvider provider) {
    return const_cast<ProviderUsage&>(std::as_const(*this).stored(provider));
}

const ProviderUsage& UsageFetcher::stored(UsageProvider provider) const {
    switch (provider) {
    case UsageProvider::Claude:
        return _claude;
    case UsageProvider::Codex:
        return _codex;
    case UsageProvider::Grok:
        return _grok;
    case UsageProvider::Kimi:
        return _kimi;
    }
    return _claude;
}

std::optional<std::pair<QByteArray, int>> UsageFetcher::syncRequest(const HttpRequest& request) {
    HttpResponse response = HttpClient::shared().syncRequest(request);
    if (!response.isHttp())
        return std::nullopt;
    return std::pair{std::move(response.body), response.status};
}

std::optional<std::int64_t> UsageFetcher::minutesUntil(const QString& iso, double now) {
    const auto time = parseLogTimestamp(iso.toUtf8().toStdString());
    return time ? wholeMinutesFrom(now, *time) : std::nullopt;
}

std::optional<std::int64_t> UsageFetcher::minutesUntil(const QJsonValue& value, double now) {
    if (auto time = number(value)) {
        if (*time > 1e10)
            *time /= 1000;
        return wholeMinutesFrom(now, *time);
    }
    if (value.isString())
        return minutesUntil(value.toString(), now);
    return std::nullopt;
}

} // namespace glimmet
