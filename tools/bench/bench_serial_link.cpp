// What the serial link costs while nothing is plugged in: one tick (a look at the serial
// folder; "core_pct" is the share of one core it would take at four ticks a second), and the
// started link in an event loop, where it sleeps until the serial folder changes.
#include "BenchMain.h"
#include "device/SerialLink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

using namespace glimmet;

namespace {

constexpr double ticksPerSecond = 4;

double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// range(0): 1 the real /dev, settled (one stat() a tick); 0 a folder made just now, which is
// listed again on every tick until it has settled.
void BM_IdleTick(benchmark::State& state) {
    QTemporaryDir empty;
    SerialLink link({}, {}, Clock::system(), state.range(0) ? QStringLiteral("/dev") : empty.path());
    for (auto _ : state)
        link.tick();
    state.counters["core_pct"] =
        benchmark::Counter(double(state.iterations()) / (ticksPerSecond * 100),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_IdleTick)->Arg(1)->Arg(0)->ArgName("dev");

// An idle event loop without (link:0) and with (link:1) the link's timer, one second of wall
// time per iteration; core_pct is the process's CPU time over the wall time.
void BM_IdleLinkRunning(benchmark::State& state) {
    SerialLink link({}, {});
    link.tick(); // the first listing reads the USB ids once (a few milliseconds)
    if (state.range(0))
        link.start();
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const double cpuBefore = processCpuSeconds();
        QElapsedTimer timer;
        timer.start();
        QEventLoop loop;
        QTimer::singleShot(1000, &loop, &QEventLoop::quit);
        loop.exec();
        cpu += processCpuSeconds() - cpuBefore;
        wall += double(timer.nsecsElapsed()) / 1e9;
    }
    state.counters["core_pct"] = 100 * cpu / wall;
}
BENCHMARK(BM_IdleLinkRunning)->Arg(0)->Arg(1)->ArgName("link")->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return glimmet::bench::runBenchmarks<QCoreApplication>(argc, argv);
}
