// A generated tree of session logs whose expected totals are computed here, independently of
// the scanner, from the generator's own record of what it wrote.
#include "status/ClaudeScanner.h"
#include "status/LogTree.h"
#include "status/ModelPricing.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

using namespace glimmet;
using namespace glimmet::test;

namespace {

constexpr double M = 1e-6;

TEST(ScannerCrossCheck, ClaudeTreeTotals) {
    LogTree tree;
    ModelPricing pricing(tree.home.path() + "/prices");
    const double now = tree.at("2026-07-14T18:00:00");
    const double dayStart = tree.at("2026-07-14T00:01:00");
    std::mt19937 random(20260714);
    const auto uniform = [&random](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };

    struct Prices {
        double input, output, write, read;
    };
    const std::map<QString, Prices> models{{"claude-sonnet-4-5", {3, 15, 3.75, 0.3}},
                                           {"claude-opus-4-1", {15, 75, 18.75, 1.5}},
                                           {"claude-haiku-4-5", {1, 5, 1.25, 0.1}}};
    struct Best {
        qint64 total = -1;
        double cost = 0;
    };
    std::map<QString, Best> expected; // by message id: the largest total counted today

    for (int file = 0; file < 6; ++file) {
        QList<QVariant> lines;
        for (int message = 0; message < 40; ++message) {
            // Some ids appear in two files (a resumed session copies its history).
            const QString id = QStringLiteral("msg-%1-%2").arg(uniform(0, 3) == 0 ? 99 : file).arg(message);
            const auto model = std::next(models.begin(), uniform(0, 2));
            const double t = uniform(0, 9) == 0 ? dayStart - uniform(1, 7200) : dayStart + uniform(0, 60000);
            const qint64 input = uniform(0, 5000), write = uniform(0, 20000), read = uniform(0, 100000);
            qint64 output = uniform(0, 50);
            for (int repeat = uniform(1, 4); repeat > 0; --repeat, output += uniform(1, 400)) {
                QJsonObject usage{{"input_tokens", input},
                                  {"output_tokens", output},
                                  {"cache_creation_input_tokens", write},
                                  {"cache_read_input_tokens", read}};
                lines.append(QJsonObject{
                    {"type", "assistant"},
                    {"timestamp", LogTree::iso(t)},
                    {"message", QJsonObject{{"id", id}, {"model", model->first}, {"usage", usage}}}});
                if (t < dayStart)
                    continue;
                const qint64 total = input + output + write + read;
                const Prices& p = model->second;
                Best& best = expected[id];
                if (total > best.total)
                    best = {total,
                            (input * p.input + output * p.output + write * p.write + read * p.read) * M};
            }
            if (uniform(0, 4) == 0)
                lines.append(QJsonObject{{"type", "user"}, {"timestamp", LogTree::iso(t + 1)}});
        }
        tree.write(QStringLiteral(".claude/projects/p%1/s.jsonl").arg(file), lines, now - 100 * file);
    }

    qint64 tokens = 0;
    double cost = 0;
    for (const auto& [id, best] : expected) {
        tokens += best.total;
        cost += best.cost;
    }
    const ClaudeStatus status = readClaudeLogs(tree.path(".claude/projects"), now, tree.zone, pricing);
    EXPECT_EQ(status.tokensToday, tokens);
    ASSERT_TRUE(status.costToday.has_value());
    EXPECT_NEAR(*status.costToday, cost, cost * 1e-12);
}

} // namespace
