// What one status poll costs on the request path: the cached snapshot with its live
// overlay, then the JSON document.
#include "BenchMain.h"
#include "status/StatusService.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

using namespace glimmet;

namespace {

class FilledUsage : public UsageSource {
public:
    ProviderUsage usage(UsageProvider) const override {
        ProviderUsage u;
        u.primaryPct = 41.5;
        u.primaryResetMin = 120;
        u.weeklyPct = 73.25;
        u.weeklyResetMin = 5000;
        u.fablePct = 12;
        return u;
    }
};

void BM_SnapshotAndJson(benchmark::State& state) {
    auto service = std::make_shared<StatusService>();
    if (state.range(0))
        service->setUsage(std::make_shared<FilledUsage>());
    service->setMusicPlayingProvider([] { return true; });
    service->snapshot(true);
    service->recordEvent("claude", "PreToolUse", std::nullopt);
    for (auto _ : state) {
        const QByteArray json = service->snapshot(false).jsonData();
        benchmark::DoNotOptimize(json.constData());
    }
}
BENCHMARK(BM_SnapshotAndJson)->Arg(0)->Arg(1)->ArgName("usage");

void BM_JsonOnly(benchmark::State& state) {
    Snapshot snapshot = Snapshot::offline(1'780'000'000);
    snapshot.claude.costToday = 12.3456;
    snapshot.codex.weeklyPct = 44.5;
    for (auto _ : state) {
        const QByteArray json = snapshot.jsonData();
        benchmark::DoNotOptimize(json.constData());
    }
}
BENCHMARK(BM_JsonOnly);

} // namespace

int main(int argc, char** argv) {
    // The scan queue's thread needs an application object for its event loop.
    return glimmet::bench::runBenchmarks<QCoreApplication>(argc, argv);
}
