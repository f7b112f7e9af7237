// The hook forwarder against curl posting the same event, run in turn (forwarder, the bridge's
// own --hook, curl) so that the machine's drift hits each alike. Each run is one whole process
// timed from its start to its exit; the server is the bridge's own HTTP server with its /event
// route, in this process.
//
//   bench_hook_forwarder [--hook=PATH] [--bridge=PATH]    (default: beside this build's tools/)
//
// Counters: the median wall time of each program in milliseconds, and the median of the
// forwarder's and the alias's times over curl's in the same round.
#include "server/HTTPServer.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

using namespace glimmet;

namespace {

std::string hookPath, bridgePath;
quint16 port = 0;

// The wall time of one run of `args` in milliseconds, or a negative number when it did not run.
double timedRun(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (failed || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void ForwarderBesideCurl(benchmark::State& state) {
    const std::string payload = R"({"session_id":"s","hook_event_name":"PreToolUse","tool_name":"Bash"})";
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    std::vector<double> hook, alias, curl, hookRatio, aliasRatio;
    for (auto _ : state) {
        const double h = timedRun({hookPath, "claude", payload});
        const double a = timedRun({bridgePath, "--hook", "claude", payload});
        const double c = timedRun({"curl", "-s", "-o", "/dev/null", "-H", "Content-Type: application/json",
                                   "-d", R"({"agent":"claude","event":"PreToolUse"})", url + "/event"});
        if (h < 0 || a < 0 || c < 0) {
            state.SkipWithError("a program did not run (is curl installed?)");
            return;
        }
        state.SetIterationTime(h / 1000);
        hook.push_back(h);
        alias.push_back(a);
        curl.push_back(c);
        hookRatio.push_back(h / c);
        aliasRatio.push_back(a / c);
    }
    state.counters["hook_ms"] = median(hook);
    state.counters["alias_ms"] = median(alias);
    state.counters["curl_ms"] = median(curl);
    state.counters["hook/curl"] = median(hookRatio);
    state.counters["alias/curl"] = median(aliasRatio);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::string build = QCoreApplication::applicationDirPath().toStdString() + "/..";
    hookPath = build + "/glimmet-hook";
    bridgePath = build + "/glimmet-bridge";
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.starts_with("--hook="))
            hookPath = arg.substr(7);
        else if (arg.starts_with("--bridge="))
            bridgePath = arg.substr(9);
        else
            rest.push_back(argv[i]);
    }
    HTTPServer server(0, {}, {}, {{QStringLiteral("/event"), [](const QByteArray&) {
                                       return QByteArray(R"({"ok":true})");
                                   }}});
    if (!server.start())
        return 1;
    port = server.port();
    setenv("GLIMMET_BRIDGE_URL", ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
    benchmark::RegisterBenchmark("ForwarderBesideCurl", ForwarderBesideCurl)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    int restCount = int(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
