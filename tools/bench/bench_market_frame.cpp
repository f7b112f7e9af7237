// Rendering and packing one market frame: the work the market monitor does once per new
// snapshot.
#include "BenchMain.h"
#include "market/MarketFrameCodec.h"
#include "market/MarketFrameRenderer.h"

#include <QGuiApplication>

#include <benchmark/benchmark.h>

#include <cmath>

using namespace glimmet;

namespace {

MarketSnapshot chart(bool lineOnly) {
    MarketSnapshot s;
    s.instrument = *MarketInstrument::preset("cn-sh000001");
    s.source = "Tencent";
    s.change24h = -0.87;
    s.updatedAt = 1'780'000'000;
    s.marketOpen = true;
    s.lineOnly = lineOnly;
    double close = 3312.45;
    for (int i = 0; i < 36; ++i) {
        const double open = close;
        close = open * (1 + 0.004 * std::sin(i * 0.7));
        s.candles.append(
            {1'780'000'000.0 + 300 * i, std::min(open, close) - 2, std::max(open, close) + 2, open, close});
    }
    s.price = close;
    return s;
}

void renderAndPack(benchmark::State& state) {
    const MarketSnapshot snapshot = chart(state.range(0) != 0);
    for (auto _ : state) {
        const QByteArray frame = MarketFrameRenderer::rgb565(snapshot);
        QByteArray packed = MarketFrameCodec::envelope(MarketFrameCodec::packRGB565(frame), 2);
        benchmark::DoNotOptimize(packed);
    }
}
BENCHMARK(renderAndPack)->Arg(0)->Arg(1)->ArgName("lineOnly")->Unit(benchmark::kMicrosecond);

void packOnly(benchmark::State& state) {
    const QByteArray frame = MarketFrameRenderer::rgb565(chart(false));
    for (auto _ : state) {
        QByteArray packed = MarketFrameCodec::packRGB565(frame);
        benchmark::DoNotOptimize(packed);
    }
    state.SetBytesProcessed(state.iterations() * frame.size());
}
BENCHMARK(packOnly)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    return glimmet::bench::runBenchmarks<QGuiApplication>(argc, argv);
}
