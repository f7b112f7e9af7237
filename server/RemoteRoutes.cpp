#include "server/RemoteRoutes.h"

#include "status/OtlpBatch.h"
#include "status/RelaySummary.h"
#include "status/RemoteHosts.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

namespace glimmet {

namespace {

HttpReply text(int status, const QByteArray& message) {
    return {status, "text/plain", message + '\n'};
}

// The checks every writing route makes before it reads the body.
std::optional<HttpReply> refusal(const IncomingRequest& request, const QString& peer, const QByteArray& token,
                                 std::int64_t maxBody) {
    if (!RemoteRoutes::mayWrite(peer, request.header(u"Authorization"), token))
        return text(401,
                    "only this machine may write here without a token: send the header "
                    "\"Authorization: Bearer TOKEN\", where TOKEN is what `glimmet-bridge --remote-token` "
                    "prints on the bridge's machine");
    if (request.declaredLength > maxBody || request.body.size() < request.declaredLength)
        return text(413, "the body is larger than " + QByteArray::number(maxBody) +
                             " bytes: send smaller batches");
    return std::nullopt;
}

// OpenTelemetry's answers: an empty object for full success, else the part that was rejected.
HttpReply otlpAnswer(std::int64_t rejectedPoints) {
    if (rejectedPoints == 0)
        return {200, "application/json", "{}"};
    const QJsonObject partial{
        {QStringLiteral("rejectedDataPoints"), QString::number(rejectedPoints)},
        {QStringLiteral("errorMessage"),
         QStringLiteral("only delta sums are read: set the exporter's metrics temporality to delta")}};
    return {200, "application/json",
            QJsonDocument(QJsonObject{{QStringLiteral("partialSuccess"), partial}})
                .toJson(QJsonDocument::Compact)};
}

template <class Answer>
RequestRoute writingRoute(const std::shared_ptr<RemoteHosts>& hosts, const QByteArray& token,
                          std::int64_t maxBody, Answer answer) {
    return {[token, maxBody](const IncomingRequest& head, const QString& peer) {
                return RemoteRoutes::mayWrite(peer, head.header(u"Authorization"), token)
                           ? maxBody
                           : RemoteRoutes::maxRefusedBody;
            },
            [weak = std::weak_ptr(hosts), token, maxBody, answer](const IncomingRequest& request,
                                                                  const QString& peer) {
                if (auto refused = refusal(request, peer, token, maxBody))
                    return *refused;
                const auto strong = weak.lock();
                return strong ? answer(*strong, request, peer) : text(404, "not found");
            }};
}

HttpReply otlp(RemoteHosts& hosts, const IncomingRequest& request, const QString& peer, bool logs) {
    const QString type = request.header(u"Content-Type").section(u';', 0, 0).trimmed().toLower();
    if (type == u"application/x-protobuf" || type == u"application/protobuf")
        return text(415, "this bridge reads OpenTelemetry in JSON only: set the exporter's protocol to "
                         "http/json (OTEL_EXPORTER_OTLP_PROTOCOL=http/json)");
    const QString encoding = request.header(u"Content-Encoding").toLower();
    if (!encoding.isEmpty() && encoding != u"identity")
        return text(415,
                    "send the export uncompressed (in a Collector's otlphttp exporter: compression: none)");
    const auto batch = logs ? OtlpBatch::fromLogs(request.body) : OtlpBatch::fromMetrics(request.body);
    if (!batch)
        return text(400, logs ? "the body is not an OTLP logs export in JSON"
                              : "the body is not an OTLP metrics export in JSON");
    hosts.recordOtlp(*batch, peer);
    return otlpAnswer(batch->rejectedPoints);
}

} // namespace

bool RemoteRoutes::mayWrite(const QString& peer, const QString& authorization, const QByteArray& token) {
    if (QHostAddress(peer).isLoopback())
        return true;
    const QString scheme = authorization.section(u' ', 0, 0);
    const QByteArray given = authorization.section(u' ', 1).trimmed().toUtf8();
    if (token.isEmpty() || scheme.compare(u"Bearer", Qt::CaseInsensitive) != 0 ||
        given.size() != token.size())
        return false;
    unsigned char difference = 0; // the same time for every wrong token of the right length
    for (qsizetype i = 0; i < token.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ token[i]);
    return difference == 0;
}

RequestRouteTable RemoteRoutes::make(const std::shared_ptr<RemoteHosts>& hosts, const QByteArray& token) {
    RequestRouteTable table;
    table.insert(QStringLiteral("POST /hosts/report"),
                 writingRoute(hosts, token, maxReportBody,
                              [](RemoteHosts& remote, const IncomingRequest& request, const QString&) {
                                  const auto report = RelaySummary::fromJson(request.body);
                                  if (!report)
                                      return text(400, "the body is not a relay summary");
                                  remote.recordReport(*report);
                                  return HttpReply{200, "application/json", "{\"ok\":true}"};
                              }));
    table.insert(QStringLiteral("POST /v1/logs"),
                 writingRoute(hosts, token, maxOtlpBody,
                              [](RemoteHosts& remote, const IncomingRequest& request, const QString& peer) {
                                  return otlp(remote, request, peer, true);
                              }));
    table.insert(QStringLiteral("POST /v1/metrics"),
                 writingRoute(hosts, token, maxOtlpBody,
                              [](RemoteHosts& remote, const IncomingRequest& request, const QString& peer) {
                                  return otlp(remote, request, peer, false);
                              }));
    table.insert(QStringLiteral("GET /hosts"),
                 {{}, [weak = std::weak_ptr(hosts)](const IncomingRequest&, const QString&) {
                      const auto strong = weak.lock();
                      return HttpReply{200, "application/json", strong ? strong->hostsJson() : "[]"};
                  }});
    return table;
}

} // namespace glimmet
