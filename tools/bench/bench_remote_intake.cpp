// What the agents of other machines cost the bridge on its request path: one relay summary
// (POST /hosts/report from another host, with the bearer token) and one OTLP/HTTP JSON export of
// 100 log records (POST /v1/logs) of Claude Code or Codex, each answered by the route as the
// server's queue runs it; and a status poll with 64 remote hosts laid over it.
#include "BenchMain.h"
#include "server/BridgeRoutes.h"
#include "status/ModelPricing.h"
#include "status/RelaySummary.h"
#include "status/RemoteHosts.h"
#include "status/StatusService.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

using namespace glimmet;

namespace {

const QByteArray token = "0123456789abcdef0123456789abcdef";

struct Bridge {
    QTemporaryDir prices;
    std::shared_ptr<RemoteHosts> hosts =
        std::make_shared<RemoteHosts>("desk", Clock::system(), std::make_shared<ModelPricing>(prices.path()));
    RouteTables tables = BridgeRoutes::make({{}, {}, {}, {}, {}, hosts, token});
    HTTPServer server{0, tables.routes, tables.binaryRoutes, tables.postRoutes, tables.requestRoutes};

    QByteArray post(const char* path, const QByteArray& body) const {
        const IncomingRequest request{"POST",
                                      path,
                                      {"Content-Type: application/json", "Authorization: Bearer " + token},
                                      body,
                                      body.size()};
        return server.response(request, "10.0.0.2");
    }
};

// A real export grown to `count` records by repeating its records with new sequence numbers
// and time stamps, under the session (or conversation) id `session`.
QByteArray exportOf(const char* sample, int count, int session) {
    QFile file(GLIMMET_SOURCE_DIR "/tests/status/data/otlp/" + QString(sample));
    file.open(QIODevice::ReadOnly);
    QJsonObject document = QJsonDocument::fromJson(file.readAll()).object();
    QJsonArray resources = document["resourceLogs"].toArray();
    QJsonObject resource = resources[0].toObject();
    QJsonArray scopes = resource["scopeLogs"].toArray();
    const int last = int(scopes.size()) - 1;
    QJsonObject scope = scopes[last].toObject();
    const QJsonArray original = scope["logRecords"].toArray();
    QJsonArray records;
    for (int i = 0; records.size() < count; ++i) {
        QJsonObject record = original[i % original.size()].toObject();
        QJsonArray attributes = record["attributes"].toArray();
        for (int a = 0; a < attributes.size(); ++a) {
            QJsonObject attribute = attributes[a].toObject();
            const QString key = attribute["key"].toString();
            if (key == "event.sequence")
                attribute["value"] = QJsonObject{{"intValue", i}};
            else if (key == "session.id" || key == "conversation.id")
                attribute["value"] = QJsonObject{{"stringValue", QString("session-%1").arg(session)}};
            attributes[a] = attribute;
        }
        record["attributes"] = attributes;
        record["observedTimeUnixNano"] = QString::number(1'796'576'400'000'000'000LL + i * 1000LL);
        records.append(record);
    }
    scope["logRecords"] = records;
    scopes[last] = scope;
    resource["scopeLogs"] = scopes;
    resources[0] = resource;
    document["resourceLogs"] = resources;
    return QJsonDocument(document).toJson(QJsonDocument::Compact);
}

void BM_RelayReport(benchmark::State& state) {
    Bridge bridge;
    RelaySummary summary{"devbox",
                         localDay(Clock::system()->now(), QTimeZone::systemTimeZone()),
                         480,
                         {"working", 123456, 1.25, true, 1'796'576'400},
                         {"idle", 7890, 0.5, true, 1'796'576'000}};
    const QByteArray body = summary.jsonData();
    for (auto _ : state)
        benchmark::DoNotOptimize(bridge.post("/hosts/report", body).size());
    state.counters["body_bytes"] = double(body.size());
}
BENCHMARK(BM_RelayReport);

void BM_OtlpLogs100(benchmark::State& state) {
    const char* sample = state.range(0) ? "codex-logs-006.json" : "claude-logs-002.json";
    Bridge bridge;
    std::vector<QByteArray> bodies; // new record ids in each, the same again after 16
    for (int session = 0; session < 16; ++session)
        bodies.push_back(exportOf(sample, 100, session));
    size_t next = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(bridge.post("/v1/logs", bodies[next++ % bodies.size()]).size());
    state.counters["body_bytes"] = double(bodies[0].size());
}
BENCHMARK(BM_OtlpLogs100)->Arg(0)->Arg(1)->ArgName("codex");

void BM_StatusPollWith64Hosts(benchmark::State& state) {
    Bridge bridge;
    for (int i = 0; i < RemoteHosts::maxHosts; ++i) {
        RelaySummary summary{QString("host-%1").arg(i),
                             localDay(Clock::system()->now(), QTimeZone::systemTimeZone()),
                             480,
                             {"working", 1000 + i, 0.25, true, 1'796'576'400},
                             {"idle", 7, 0.5, true, 0}};
        bridge.hosts->recordReport(summary);
    }
    auto status = std::make_shared<StatusService>();
    if (state.range(0))
        status->setRemoteHosts(bridge.hosts);
    status->snapshot(true);
    for (auto _ : state)
        benchmark::DoNotOptimize(status->snapshot(false).jsonData().size());
}
BENCHMARK(BM_StatusPollWith64Hosts)->Arg(0)->Arg(1)->ArgName("hosts");

} // namespace

int main(int argc, char** argv) {
    return glimmet::bench::runBenchmarks<QCoreApplication>(argc, argv);
}
