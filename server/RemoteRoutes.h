#pragma once

#include "server/HTTPServer.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

namespace glimmet {

class RemoteHosts;

// The routes through which agents on other machines reach the bridge: relay summaries
// (POST /hosts/report), OpenTelemetry exports in JSON (POST /v1/logs and /v1/metrics) and the
// list of hosts (GET /hosts). A loopback peer (an `ssh -R` tunnel arrives as one) writes
// without credentials; any other peer needs "Authorization: Bearer TOKEN". Routes hold the
// hosts weakly and run on the server's queue.
class RemoteRoutes {
public:
    static constexpr std::int64_t maxReportBody = 64 * 1024;
    // An agent's default batch (512 records) stays below 2 MB; parsing takes a few times the size.
    static constexpr std::int64_t maxOtlpBody = 4 * 1024 * 1024;
    // A body a refused peer may send: read whole, so that the refusal reaches it intact.
    static constexpr std::int64_t maxRefusedBody = 64 * 1024;

    static RequestRouteTable make(const std::shared_ptr<RemoteHosts>& hosts, const QByteArray& token);

    // Whether `peer` may write: a loopback address, or an `authorization` header that carries
    // the bearer `token` (never when the token is empty).
    static bool mayWrite(const QString& peer, const QString& authorization, const QByteArray& token);
};

} // namespace glimmet
