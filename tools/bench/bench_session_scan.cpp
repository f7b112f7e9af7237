// Scans of generated session-log trees. Cold: one full refreshCache() of a new status
// service, as at the bridge's start (MB/s of today's bytes and CPU time). Rescan: a scanner
// that read the tree before reads it again, with nothing changed or after 1 MB of whole
// lines was appended to one of today's files, and (on --files trees) walking the whole tree as
// it does once a minute. Rescans count the CPU time of the whole process.
//
//   bench_session_scan [--sizes=claude:200,claude:1000,codex:200] [--files=1000,20000]
//                      [--tree-dir=/tmp/glimmet-bench]
//
// Trees are generated once per kind and size and kept for later runs. A third of the bytes
// of each tree are in files of 4-12 MB modified today; the rest are older sessions of about
// 0.6 MB each (about 1,100 files in a 1 GB tree) that the walk sees but does not read.
// --files trees hold that many Claude logs in 50 project folders: 20 of today's of about
// 1 MB, the rest small sessions of earlier days.
#include "status/ClaudeScanner.h"
#include "status/CodexScanner.h"
#include "status/ModelPricing.h"
#include "status/StatusService.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTimeZone>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <vector>

using namespace glimmet;

namespace {

constexpr double MB = 1024.0 * 1024.0;

// Text with the shape of agent output: words, punctuation, JSON escapes, a little non-ASCII.
class TextSource {
public:
    explicit TextSource(unsigned seed)
        : random(seed) {
        const char* words[] = {"the",
                               "function",
                               "returns",
                               "a",
                               "value",
                               "file",
                               "src/main.cpp",
                               "error",
                               "test",
                               "build",
                               "cmake",
                               "\\n",
                               "\\\"x\\\"",
                               "// comment",
                               "{",
                               "}",
                               "const",
                               "auto",
                               "std::vector<int>",
                               "if",
                               "else",
                               "return",
                               "0x1F",
                               "中文",
                               "TODO",
                               "fixed",
                               "passes",
                               "\\t",
                               "=>",
                               "(ok)",
                               "line 42",
                               "é"};
        for (const char* w : words)
            vocabulary.emplace_back(w);
    }

    void append(std::string& out, size_t bytes) {
        const size_t end = out.size() + bytes;
        while (out.size() < end) {
            out += vocabulary[random() % vocabulary.size()];
            out += ' ';
        }
    }

    unsigned next(unsigned bound) { return unsigned(random() % bound); }

private:
    std::mt19937 random;
    std::vector<std::string> vocabulary;
};

std::string isoTime(double epoch) {
    return QDateTime::fromMSecsSinceEpoch(qint64(epoch * 1000), Qt::UTC)
        .toString(Qt::ISODateWithMs)
        .toStdString();
}

void setModified(const std::string& path, double epoch) {
    struct utimbuf times {
        time_t(epoch), time_t(epoch)
    };
    ::utime(path.c_str(), &times);
}

// One Claude Code session: prompts, assistant messages streamed in 1-4 repeats with growing
// output counts, and tool results of 10-50 KB.
std::string claudeSession(TextSource& text, double start, size_t targetBytes, int session) {
    std::string out;
    double t = start;
    int message = 0;
    const std::string meta =
        R"("parentUuid":"5b8c3f9e-2d7a-4c1b-9e6f-0a1b2c3d4e5f","isSidechain":false,"userType":"external","cwd":"/home/dev/project","sessionId":"s-)" +
        std::to_string(session) + R"(","version":"2.0.14","gitBranch":"main")";
    while (out.size() < targetBytes) {
        t += 2 + text.next(30);
        out += "{" + meta + R"(,"type":"user","message":{"role":"user","content":")";
        text.append(out, 60 + text.next(400));
        out += R"("},"uuid":"u-)" + std::to_string(session) + "-" + std::to_string(message) +
               R"(","timestamp":")" + isoTime(t) + "\"}\n";
        for (int step = 0, steps = 1 + int(text.next(4)); step < steps; ++step) {
            ++message;
            const std::string id = "msg_" + std::to_string(session) + "_" + std::to_string(message);
            const int input = 3 + int(text.next(50)), cacheRead = 20000 + int(text.next(80000));
            const int cacheWrite = int(text.next(4000));
            int output = 1 + int(text.next(50));
            std::string content;
            text.append(content, 200 + text.next(8000));
            for (int repeat = 0, repeats = 1 + int(text.next(4)); repeat < repeats; ++repeat) {
                t += 0.5 + text.next(5);
                output += int(text.next(300));
                out +=
                    "{" + meta + R"(,"message":{"id":")" + id +
                    R"(","type":"message","role":"assistant","model":"claude-sonnet-4-5-20250929","content":[{"type":"text","text":")" +
                    content + R"("}],"stop_reason":null,"stop_sequence":null,"usage":{"input_tokens":)" +
                    std::to_string(input) + R"(,"cache_creation_input_tokens":)" +
                    std::to_string(cacheWrite) + R"(,"cache_read_input_tokens":)" +
                    std::to_string(cacheRead) + R"(,"cache_creation":{"ephemeral_5m_input_tokens":)" +
                    std::to_string(cacheWrite) + R"(,"ephemeral_1h_input_tokens":0},"output_tokens":)" +
                    std::to_string(output) + R"(,"service_tier":"standard"}},"requestId":"req_)" +
                    std::to_string(message) + R"(","type":"assistant","uuid":"a-)" + std::to_string(session) +
                    "-" + std::to_string(message) + "-" + std::to_string(repeat) + R"(","timestamp":")" +
                    isoTime(t) + "\"}\n";
            }
            t += 1 + text.next(20);
            out += "{" + meta +
                   R"(,"type":"user","message":{"role":"user","content":[{"tool_use_id":"toolu_)" +
                   std::to_string(message) + R"(","type":"tool_result","content":")";
            text.append(out, 10 * 1024 + text.next(40 * 1024));
            out += R"("}]},"toolUseResult":{"stdout":"ok","stderr":"","interrupted":false},"uuid":"r-)" +
                   std::to_string(session) + "-" + std::to_string(message) + R"(","timestamp":")" +
                   isoTime(t) + "\"}\n";
        }
    }
    return out;
}

// One Codex rollout: turn contexts, large function outputs and token counts with running totals.
std::string codexRollout(TextSource& text, double start, size_t targetBytes) {
    std::string out =
        R"({"timestamp":")" + isoTime(start) +
        R"(","type":"session_meta","payload":{"id":"r","cwd":"/home/dev/project","originator":"codex_cli_rs","cli_version":"0.46.0"}})"
        "\n";
    double t = start;
    long long total = 0, input = 0, cached = 0, output = 0, reasoning = 0;
    while (out.size() < targetBytes) {
        t += 5 + text.next(60);
        out +=
            R"({"timestamp":")" + isoTime(t) +
            R"(","type":"turn_context","payload":{"cwd":"/home/dev/project","approval_policy":"on-request","model":"gpt-5-codex","effort":"medium","summary":"auto"}})"
            "\n";
        out += R"({"timestamp":")" + isoTime(t) +
               R"(","type":"event_msg","payload":{"type":"task_started"}})"
               "\n";
        for (int step = 0, steps = 1 + int(text.next(6)); step < steps; ++step) {
            t += 1 + text.next(20);
            out +=
                R"({"timestamp":")" + isoTime(t) +
                R"(","type":"response_item","payload":{"type":"function_call_output","call_id":"call_1","output":")";
            text.append(out, 10 * 1024 + text.next(40 * 1024));
            out += "\"}}\n";
            const long long dInput = 5000 + text.next(20000),
                            dCached = dInput / 2 + text.next(unsigned(dInput / 2));
            const long long dOutput = 50 + text.next(2000), dReasoning = text.next(500);
            input += dInput;
            cached += dCached;
            output += dOutput;
            reasoning += dReasoning;
            total += dInput + dOutput;
            const auto usage = [](long long i, long long c, long long o, long long r, long long tt) {
                return R"({"input_tokens":)" + std::to_string(i) + R"(,"cached_input_tokens":)" +
                       std::to_string(c) + R"(,"output_tokens":)" + std::to_string(o) +
                       R"(,"reasoning_output_tokens":)" + std::to_string(r) + R"(,"total_tokens":)" +
                       std::to_string(tt) + "}";
            };
            out +=
                R"({"timestamp":")" + isoTime(t) +
                R"(","type":"event_msg","payload":{"type":"token_count","info":{"total_token_usage":)" +
                usage(input, cached, output, reasoning, total) + R"(,"last_token_usage":)" +
                usage(dInput, dCached, dOutput, dReasoning, dInput + dOutput) +
                R"(,"model_context_window":272000},"rate_limits":{"primary":{"used_percent":12.0,"window_minutes":300,"resets_at":1790000000},"secondary":{"used_percent":40.0,"window_minutes":10080,"resets_at":1790500000}}}})"
                "\n";
        }
    }
    return out;
}

struct Tree {
    std::string home;
    double todayBytes = 0;
};

// Writes (or finds from an earlier run) a tree of `megabytes` for `kind` ("claude"/"codex").
Tree generatedTree(const std::string& root, const std::string& kind, int megabytes) {
    const std::string home = root + "/" + kind + "-" + std::to_string(megabytes) + "mb-v2";
    const std::string marker = home + "/.complete";
    const std::string logs = home + (kind == "claude" ? "/.claude/projects" : "/.codex/sessions");
    const double now = double(QDateTime::currentSecsSinceEpoch());
    const double todayStart = double(QDate::currentDate().startOfDay().toSecsSinceEpoch()) + 60;
    const size_t total = size_t(megabytes * MB);
    const size_t today = total / 3;
    const size_t perFile = kind == "claude" ? size_t(8 * MB) : size_t(6 * MB);

    Tree tree{home, double(today)};
    if (QFile::exists(QString::fromStdString(marker))) {
        // Refresh the times so that today's files stay today's.
        QDir dir(QString::fromStdString(logs));
        for (const QString& name : dir.entryList(QDir::Files))
            setModified((logs + "/" + name.toStdString()),
                        name.startsWith("today") ? now - 30 : todayStart - 3 * 86400);
        return tree;
    }
    std::fprintf(stderr, "generating %s tree of %d MB in %s\n", kind.c_str(), megabytes, home.c_str());
    QDir().mkpath(QString::fromStdString(logs));
    TextSource text(unsigned(megabytes) * 7919u + unsigned(kind.size()));
    size_t written = 0;
    for (int file = 0; written < total; ++file) {
        const bool isToday = written < today;
        const size_t typical = isToday ? perFile : perFile / 13;
        const size_t size = std::min(typical / 2 + text.next(unsigned(typical)), total - written);
        const double start = isToday ? std::max(todayStart + 60, now - 8 * 3600) : todayStart - 4 * 86400;
        const std::string bytes =
            kind == "claude" ? claudeSession(text, start, size, file) : codexRollout(text, start, size);
        const std::string path = logs + "/" + (isToday ? "today-" : "old-") + std::to_string(file) + ".jsonl";
        if (FILE* f = std::fopen(path.c_str(), "wb")) {
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
        setModified(path, isToday ? now - 30 : todayStart - 3 * 86400);
        written += bytes.size();
        if (isToday && written >= today)
            tree.todayBytes = double(written);
    }
    QFile file(QString::fromStdString(marker));
    file.open(QIODevice::WriteOnly);
    file.write(QByteArray::number(tree.todayBytes, 'f', 0));
    return tree;
}

// Writes (or finds) a Claude tree of `count` files: 20 of today's, the rest older.
Tree fileCountTree(const std::string& root, int count) {
    const std::string home = root + "/claude-files-" + std::to_string(count);
    const std::string marker = home + "/.complete";
    const std::string logs = home + "/.claude/projects";
    const double now = double(QDateTime::currentSecsSinceEpoch());
    const double todayStart = double(QDate::currentDate().startOfDay().toSecsSinceEpoch()) + 60;
    const auto projectOf = [&logs](int file) { return logs + "/p" + std::to_string(file % 50); };
    const auto nameOf = [](int file) {
        return (file < 20 ? "today-" : "old-") + std::to_string(file) + ".jsonl";
    };
    Tree tree{home, 0};
    if (!QFile::exists(QString::fromStdString(marker))) {
        std::fprintf(stderr, "generating a Claude tree of %d files in %s\n", count, home.c_str());
        TextSource text{unsigned(count)};
        const std::string old =
            R"({"type":"user","message":{"role":"user","content":"an earlier session"},"uuid":"u-old",)"
            R"("timestamp":")" +
            isoTime(todayStart - 4 * 86400) + "\"}\n";
        for (int file = 0; file < count; ++file) {
            QDir().mkpath(QString::fromStdString(projectOf(file)));
            const std::string bytes =
                file < 20 ? claudeSession(text, std::max(todayStart + 60, now - 8 * 3600), size_t(MB), file)
                          : old;
            if (FILE* f = std::fopen((projectOf(file) + "/" + nameOf(file)).c_str(), "wb")) {
                std::fwrite(bytes.data(), 1, bytes.size(), f);
                std::fclose(f);
            }
        }
        QFile(QString::fromStdString(marker)).open(QIODevice::WriteOnly);
    }
    for (int file = 0; file < count; ++file)
        setModified(projectOf(file) + "/" + nameOf(file), file < 20 ? now - 30 : todayStart - 3 * 86400);
    return tree;
}

Tree loadTree(const std::string& root, const std::string& kind, int megabytes) {
    Tree tree = generatedTree(root, kind, megabytes);
    QFile marker(QString::fromStdString(tree.home + "/.complete"));
    if (marker.open(QIODevice::ReadOnly))
        tree.todayBytes = marker.readAll().toDouble();
    return tree;
}

void coldScan(benchmark::State& state, const Tree& tree) {
    qputenv("HOME", QByteArray::fromStdString(tree.home));
    const auto pricing = std::make_shared<ModelPricing>(QString::fromStdString(tree.home + "/prices"));
    Snapshot snapshot;
    for (auto _ : state) {
        auto service = std::make_shared<StatusService>(Clock::system(), pricing);
        snapshot = service->snapshot(true);
        benchmark::DoNotOptimize(snapshot.claude.tokensToday);
    }
    state.SetBytesProcessed(int64_t(tree.todayBytes) * state.iterations());
    state.counters["today_MB"] = tree.todayBytes / MB;
    state.counters["tokens"] = double(snapshot.claude.tokensToday + snapshot.codex.tokensToday);
}

// A scanner of one agent's logs that keeps its state between reads: with nothing changed, after
// 1 MB was appended, or walking the whole tree (its safety net, once a minute) at every read.
enum class Change { none, append, walk };

template <class Scanner>
void rescan(benchmark::State& state, const Tree& tree, const std::string& kind, Change change) {
    const bool append = change == Change::append;
    const QString logs =
        QString::fromStdString(tree.home + (kind == "claude" ? "/.claude/projects" : "/.codex/sessions"));
    const ModelPricing pricing(QString::fromStdString(tree.home + "/prices"));
    const QTimeZone zone = QTimeZone::systemTimeZone();
    Scanner scanner(logs);
    scanner.read(double(QDateTime::currentMSecsSinceEpoch()) / 1000, zone, pricing);

    // 1 MB of whole lines of the same shape, appended to the first of today's files.
    std::string target = logs.toStdString() + "/today-0.jsonl";
    if (!QFile::exists(QString::fromStdString(target)))
        target = logs.toStdString() + "/p0/today-0.jsonl";
    TextSource text(7);
    const double start = double(QDateTime::currentSecsSinceEpoch()) - 600;
    const std::string chunk = kind == "claude" ? claudeSession(text, start, size_t(MB), 999)
                                               : codexRollout(text, start, size_t(MB));
    struct stat original {};
    ::stat(target.c_str(), &original);

    std::int64_t tokens = 0;
    double walkAhead = 0; // a minute on or back again: either way the scanner walks the tree
    for (auto _ : state) {
        if (append) {
            state.PauseTiming();
            if (FILE* f = std::fopen(target.c_str(), "ab")) {
                std::fwrite(chunk.data(), 1, chunk.size(), f);
                std::fclose(f);
            }
            state.ResumeTiming();
        }
        walkAhead = change == Change::walk && walkAhead == 0 ? 61 : 0;
        tokens = scanner.read(double(QDateTime::currentMSecsSinceEpoch()) / 1000 + walkAhead, zone, pricing)
                     .tokensToday;
        benchmark::DoNotOptimize(tokens);
    }
    if (append)
        ::truncate(target.c_str(), original.st_size);
    state.counters["tokens"] = double(tokens);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::string sizes = "claude:4,codex:4";
    std::string root = "/tmp/glimmet-bench";
    std::string fileCounts;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--sizes=", 0) == 0)
            sizes = arg.substr(8);
        else if (arg.rfind("--files=", 0) == 0)
            fileCounts = arg.substr(8);
        else if (arg.rfind("--tree-dir=", 0) == 0)
            root = arg.substr(11);
        else
            rest.push_back(argv[i]);
    }
    size_t start = 0;
    while (start < sizes.size()) {
        const size_t comma = std::min(sizes.find(',', start), sizes.size());
        const std::string item = sizes.substr(start, comma - start);
        start = comma + 1;
        const size_t colon = item.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string kind = item.substr(0, colon);
        const int megabytes = std::stoi(item.substr(colon + 1));
        const Tree tree = loadTree(root, kind, megabytes);
        benchmark::RegisterBenchmark(("ColdScan/" + kind + "/" + std::to_string(megabytes) + "MB").c_str(),
                                     [tree](benchmark::State& state) { coldScan(state, tree); })
            ->Unit(benchmark::kMillisecond);
        for (const bool append : {false, true}) {
            const std::string name = "Rescan/" + kind + "/" + std::to_string(megabytes) + "MB/" +
                                     (append ? "append_1MB" : "unchanged");
            auto* bench =
                benchmark::RegisterBenchmark(name.c_str(), [tree, kind, append](benchmark::State& state) {
                    const Change change = append ? Change::append : Change::none;
                    if (kind == "claude")
                        rescan<ClaudeScanner>(state, tree, kind, change);
                    else
                        rescan<CodexScanner>(state, tree, kind, change);
                });
            bench->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
            if (append)
                bench->Iterations(20); // 20 MB appended, and cut off again afterwards
        }
    }
    for (start = 0; start < fileCounts.size();) {
        const size_t comma = std::min(fileCounts.find(',', start), fileCounts.size());
        const int count = std::stoi(fileCounts.substr(start, comma - start));
        start = comma + 1;
        const Tree tree = fileCountTree(root, count);
        for (const auto& [change, label] : {std::pair{Change::none, "unchanged"},
                                            {Change::append, "append_1MB"},
                                            {Change::walk, "full_walk"}}) {
            const std::string name = "Rescan/claude/" + std::to_string(count) + "files/" + label;
            auto* bench = benchmark::RegisterBenchmark(name.c_str(), [tree, change](benchmark::State& state) {
                rescan<ClaudeScanner>(state, tree, "claude", change);
            });
            bench->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
            if (change == Change::append)
                bench->Iterations(20);
        }
    }
    int restCount = int(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
