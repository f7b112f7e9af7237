#pragma once

#include "common/Endpoints.h"
#include "status/Snapshot.h"
#include "support/FakeHttpServer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QList>

#include <functional>
#include <ostream>

namespace glimmet {

// Readable failure output for records compared whole.
inline void PrintTo(const ProviderUsage& u, std::ostream* os) {
    auto opt = [os](const char* name, const auto& value) {
        *os << name << '=';
        if (value)
            *os << *value;
        else
            *os << "-";
        *os << ' ';
    };
    opt("primaryPct", u.primaryPct);
    opt("primaryResetMin", u.primaryResetMin);
    opt("weeklyPct", u.weeklyPct);
    opt("weeklyResetMin", u.weeklyResetMin);
    opt("fablePct", u.fablePct);
    opt("fableResetMin", u.fableResetMin);
    *os << "error=" << (u.error ? u.error->toStdString() : std::string("-"));
    *os << " fetchedAt=" << (u.fetchedAt ? std::to_string(*u.fetchedAt) : std::string("-"));
    *os << " rateLimited=" << u.rateLimited;
}

namespace test {

// An internet date-time (UTC) for an epoch time, optionally with milliseconds.
inline QString isoAt(double epochSeconds, bool millis = false) {
    const auto at = QDateTime::fromMSecsSinceEpoch(qint64(epochSeconds * 1000), Qt::UTC);
    return at.toString(millis ? Qt::ISODateWithMs : Qt::ISODate);
}

// Runs the main thread's events until `done` holds or the (generous) deadline passes.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 15000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

inline void pointQuotaEndpointsAt(const QString& base) {
    for (Endpoint e : {Endpoint::AnthropicApi, Endpoint::Chatgpt, Endpoint::GrokCliProxy, Endpoint::KimiApi})
        Endpoints::setOverride(e, base);
}

// The headers of `request` whose names are in `names`, in the order they were sent.
inline HttpHeaders sentHeaders(const RecordedRequest& request, const QList<QByteArray>& names) {
    HttpHeaders found;
    for (const auto& header : request.headers) {
        for (const QByteArray& name : names) {
            if (header.first.compare(name, Qt::CaseInsensitive) == 0)
                found.append(header);
        }
    }
    return found;
}

// Paths of the four quota endpoints.
inline const QString claudePath = QStringLiteral("/api/oauth/usage");
inline const QString codexPath = QStringLiteral("/backend-api/wham/usage");
inline const QString grokPath = QStringLiteral("/v1/billing");
inline const QString kimiPath = QStringLiteral("/coding/v1/usages");

} // namespace test
} // namespace glimmet
