// A tree of Claude Code and Codex logs changed step by step across midnight: after every
// step, a service that has scanned all along serves the same document as a new one.
#include "status/LogTree.h"
#include "status/ModelPricing.h"
#include "status/StatusService.h"
#include "support/FakeClock.h"

#include <QDir>

#include <gtest/gtest.h>

#include <random>

using namespace glimmet;
using namespace glimmet::test;

namespace {

struct Log {
    QString path;
    bool codex;
    QByteArray pending;    // the rest of a half-written line
    qint64 totals[3] = {}; // Codex running totals: input, cached, output

    QList<QJsonObject> counts; // Codex token counts written so far
};

QJsonObject turn(const QString& t, const char* model = "gpt-5") {
    return {{"timestamp", t}, {"type", "turn_context"}, {"payload", QJsonObject{{"model", model}}}};
}

class RandomLogs {
public:
    explicit RandomLogs(unsigned seed)
        : random(seed) {}

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
    QString session() { return QString("s%1").arg(pick(0, 1)); }

    QByteArray line(Log& log, double now) {
        const QString t = LogTree::iso(now - pick(0, 900));
        QJsonObject line;
        if (!log.codex && pick(0, 9) == 0) { // Claude Code's own running totals, without a time
            const QJsonObject usage{{"inputTokens", pick(0, 9000)}, {"costUSD", pick(1, 99) / 100.0}};
            line = {
                {"type", "cost-state"}, {"sessionId", session()}, {"startTime", (now - pick(0, 7200)) * 1e3}};
            line["modelUsage"] = QJsonObject{{pick(0, 1) ? "claude-opus-5-5" : "claude-sonnet-4-5", usage}};
            return QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
        }
        if (!log.codex) {
            const char* models[] = {"claude-sonnet-4-5", "claude-opus-5-5"}; // priced or not
            QJsonObject usage{{"input_tokens", pick(0, 900)},
                              {"output_tokens", pick(0, 90)},
                              {"cache_read_input_tokens", pick(0, 9000)}};
            if (pick(0, 3) == 0)
                usage["speed"] = pick(0, 1) ? "fast" : "standard";
            line = pick(0, 3) == 0
                       ? QJsonObject{{"type", "user"}}
                       : QJsonObject{{"type", "assistant"},
                                     {"sessionId", session()},
                                     {"message", QJsonObject{{"id", QString("m%1").arg(pick(0, 40))},
                                                             {"model", models[pick(0, 1)]},
                                                             {"usage", usage}}}};
            if (pick(0, 9) == 0)
                line["costUSD"] = pick(1, 99) / 100.0;
        } else if (const int kind = pick(0, 9); kind == 0) {
            line = {{"type", "turn_context"},
                    {"payload", QJsonObject{{"model", pick(0, 1) ? "gpt-5" : "gpt-5-codex"}}}};
        } else if (kind == 1) {
            line = {
                {"payload", QJsonObject{{"type", "thread_settings_applied"},
                                        {"thread_settings",
                                         QJsonObject{{"service_tier", pick(0, 1) ? "priority" : "flex"}}}}}};
        } else if (kind == 2) {
            line = {{"payload", QJsonObject{{"type", "task_started"}}}};
        } else if (kind == 3 && !log.counts.isEmpty()) { // an older token count written again
            line = log.counts[pick(0, int(log.counts.size()) - 1)];
        } else {
            if (pick(0, 9) == 0) // a new thread in the same file starts its totals again
                std::fill(std::begin(log.totals), std::end(log.totals), 0);
            const qint64 step[3] = {pick(0, 5000), pick(0, 2000), pick(0, 500)};
            for (int i = 0; i < 3; ++i)
                log.totals[i] += step[i];
            const auto usage = [](const qint64* c) {
                return QJsonObject{{"input_tokens", c[0]},
                                   {"cached_input_tokens", c[1]},
                                   {"output_tokens", c[2]},
                                   {"total_tokens", c[0] + c[2]}};
            };
            QJsonObject payload{{"type", "token_count"},
                                {"info", QJsonObject{{"total_token_usage", usage(log.totals)},
                                                     {"last_token_usage", usage(step)}}}};
            if (pick(0, 2) == 0)
                payload["rate_limits"] =
                    QJsonObject{{"secondary", QJsonObject{{"used_percent", pick(0, 100)},
                                                          {"window_minutes", 10080},
                                                          {"resets_at", now + pick(-60, 9000)}}}};
            line = {{"type", "event_msg"}, {"payload", payload}};
            log.counts.append(line);
        }
        if (pick(0, 19) != 0)
            line["timestamp"] = t;
        return pick(0, 29) == 0 ? QByteArray("not json\n")
                                : QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    }

    std::mt19937 random;
};

void append(const QString& path, const QByteArray& bytes, QIODevice::OpenMode mode = QIODevice::Append) {
    QFile file(path);
    ASSERT_TRUE(file.open(mode));
    file.write(bytes);
}

TEST(IncrementalScan, EqualsAColdScanAfterEveryChange) {
    LogTree tree;
    auto clock = std::make_shared<FakeClock>(tree.at("2026-07-14T23:52:00"), tree.zone);
    const auto pricing = std::make_shared<ModelPricing>(tree.home.path() + "/prices");
    const auto service = std::make_shared<StatusService>(clock, pricing);
    RandomLogs random(20260714);
    // Rows with fast-tier prices, so that fast Claude usage is priced too.
    const char* models[] = {"gpt-5", "gpt-5-codex", "claude-sonnet-4-5", "claude-opus-4-1"};
    const auto prices = [](const char* model, int input, int output) {
        return QStringLiteral(R"({"%1": {"input_cost_per_token": %2e-6, "output_cost_per_token": %3e-6,
                                  "input_cost_per_token_priority": %2e-6, "output_cost_per_token_priority": %3e-6}})")
            .arg(model)
            .arg(input)
            .arg(output)
            .toUtf8();
    };
    for (const char* model : models)
        pricing->merge(prices(model, 3, 15));
    std::vector<Log> logs;

    for (int step = 0; step < 160; ++step) {
        clock->advance(random.pick(5, 15));                            // across midnight and its first minute
        const int action = logs.empty() ? 0 : random.pick(0, 12) % 12; // new files twice as often
        if (action == 0) {
            const bool codex = random.pick(0, 1);
            const QString name = codex ? ".codex/sessions/2026/07/r%1.jsonl" : ".claude/projects/p%1/s.jsonl";
            logs.push_back({tree.path(name.arg(step)), codex});
            QDir().mkpath(QFileInfo(logs.back().path).path());
            if (codex) // a rollout starts with its model, which the changes below leave in place
                append(logs.back().path,
                       QJsonDocument(turn(LogTree::iso(clock->now()))).toJson(QJsonDocument::Compact) + '\n');
        }
        const size_t index = action == 0 ? logs.size() - 1 : size_t(random.pick(0, int(logs.size()) - 1));
        Log& log = logs[index];
        QByteArray lines;
        for (int n = random.pick(1, 6); n > 0; --n)
            lines += random.line(log, clock->now());
        QFile file(log.path);
        const int head = log.codex && file.open(QIODevice::ReadOnly) ? int(file.readLine().size()) : 0;
        file.close();
        if (action <= 6) { // whole lines, completing a half-written one first
            append(log.path, log.pending + lines);
            log.pending.clear();
        } else if (action == 7) { // half a line (or all but its line feed), the rest later
            const QByteArray next = random.line(log, clock->now());
            const qsizetype cut = random.pick(0, 1) ? next.size() - 1 : next.size() / 2;
            append(log.path, log.pending + lines + next.left(cut));
            log.pending = next.mid(cut);
        } else if (action == 8) { // truncated anywhere
            ASSERT_TRUE(file.resize(random.pick(head, int(file.size()))));
            log.pending.clear();
        } else if (action == 9 || action == 10) { // a count changed, then more lines or in place
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            QByteArray bytes = file.readAll();
            file.close();
            const qsizetype count = bytes.indexOf("tokens\":", random.pick(head, int(bytes.size()))) + 8;
            if (count >= 8 && bytes[count] >= '0' && bytes[count] <= '8')
                ++bytes[count];
            if (action == 9) { // replaced by another file: another inode
                append(log.path + ".new", bytes + lines, QIODevice::WriteOnly);
                ASSERT_EQ(::rename(QFile::encodeName(log.path + ".new"), QFile::encodeName(log.path)), 0);
                log.pending.clear();
            } else { // the same size
                append(log.path, bytes, QIODevice::ReadWrite);
            }
        } else if (action == 11) {
            file.remove();
        }
        if (action == 11)
            logs.erase(logs.begin() + std::ptrdiff_t(index));
        else
            file.setFileTime(QDateTime::fromMSecsSinceEpoch(qint64(clock->now() * 1000)),
                             QFileDevice::FileModificationTime);

        const auto cold = [&] {
            return std::make_shared<StatusService>(clock, pricing)->snapshot(true).jsonData();
        };
        ASSERT_EQ(service->snapshot(true).jsonData(), cold()) << "step " << step << " action " << action;
        if (random.pick(0, 9) == 0) { // a price download lands while no log changes
            ASSERT_TRUE(
                pricing->merge(prices(models[random.pick(0, 3)], random.pick(1, 9), random.pick(1, 99))));
            clock->advance(StatusService::cacheTTL);
            ASSERT_EQ(service->snapshot(true).jsonData(), cold()) << "new prices after step " << step;
        }
    }
}

} // namespace
