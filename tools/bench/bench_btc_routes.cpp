// The market frame on its way to the clock: one GET of /btc/frame.rle on loopback (p50 and p99
// over the run), and one refresh of the monitor (render, pack and documents of a new snapshot).
#include "BenchMain.h"
#include "common/Settings.h"
#include "market/MarketMonitor.h"
#include "server/BridgeRoutes.h"

#include <QGuiApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>

using namespace glimmet;

namespace {

MarketSnapshot chart(const MarketInstrument& instrument, MarketInterval interval, int seed) {
    QList<MarketCandle> candles;
    double close = 97000 + seed;
    for (int i = 0; i < 36; ++i) {
        const double open = close;
        close = open * (1 + 0.004 * std::sin(i * 0.7 + seed));
        candles.append(
            {1'780'000'000.0 + 300 * i, std::min(open, close) - 20, std::max(open, close) + 20, open, close});
    }
    return MarketFetch::snapshot(instrument, interval, candles, close, 96000, "Coinbase",
                                 1'780'000'000.0 + seed);
}

// A monitor whose fetches answer at once with a new chart each time.
std::shared_ptr<MarketMonitor> liveMonitor() {
    auto seed = std::make_shared<int>(0);
    return std::make_shared<MarketMonitor>(
        Clock::system(),
        [seed](const MarketInstrument& i, MarketInterval v, const MarketFetchContext&,
               MarketCompletion done) { done(chart(i, v, ++*seed)); },
        false);
}

// One request over a fresh connection, read until the server closes it; the bytes received.
qint64 exchange(quint16 port, const char* request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    qint64 received = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request, std::strlen(request), 0) > 0) {
        char buffer[65536];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            received += n;
    }
    ::close(fd);
    return received;
}

void frameRleRequest(benchmark::State& state) {
    const auto monitor = liveMonitor();
    monitor->setInstrument(monitor->requestedInstrument());
    monitor->waitIdle();
    const RouteTables tables = BridgeRoutes::make({.market = monitor});
    HTTPServer server(0, tables.routes, tables.binaryRoutes, tables.postRoutes);
    if (!server.start())
        return state.SkipWithError("cannot listen");
    std::vector<double> micros;
    qint64 bytes = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        bytes = exchange(server.port(), "GET /btc/frame.rle HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    state.counters["response_bytes"] = double(bytes);
}
BENCHMARK(frameRleRequest)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same request without the sockets: routing and the response bytes.
void frameRleResponse(benchmark::State& state) {
    const auto monitor = liveMonitor();
    monitor->setInstrument(monitor->requestedInstrument());
    monitor->waitIdle();
    const RouteTables tables = BridgeRoutes::make({.market = monitor});
    const HTTPServer server(0, tables.routes, tables.binaryRoutes, tables.postRoutes);
    for (auto _ : state)
        benchmark::DoNotOptimize(server.response("GET", "/btc/frame.rle", {}));
}
BENCHMARK(frameRleResponse)->Unit(benchmark::kMicrosecond);

void refresh(benchmark::State& state) {
    Settings::setValue(MarketMonitor::favoriteIdsKey, QStringList{"btc-usd"}); // no prefetching
    const auto monitor = liveMonitor();
    for (auto _ : state) {
        monitor->cadenceTick();
        monitor->waitIdle();
    }
}
BENCHMARK(refresh)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home; // settings of our own, never the user's
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    return glimmet::bench::runBenchmarks<QGuiApplication>(argc, argv);
}
