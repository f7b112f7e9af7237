#include "status/RemoteHosts.h"
#include "status/ModelPricing.h"
#include "support/FakeClock.h"
#include "support/TempHome.h"

#include <QFile>

#include <gtest/gtest.h>

#include <variant>

using namespace glimmet;
using namespace glimmet::test;

namespace {

constexpr double start = 1'780'000'000.0; // 2026-05-29 04:26:40 in Shanghai

RelayAgent relayed(const char* status, std::int64_t tokens, std::optional<double> cost) {
    return {status, tokens, cost, cost.has_value(), std::int64_t(start) - 5};
}

// One thing heard of a host, `at` seconds after the start; a usage record is `recordAge` old.
// clang-format off
struct Hook { double at; const char* host; const char* agent; const char* event; };
struct Report { double at; const char* host; RelayAgent claude; RelayAgent codex = {"offline", 0, 0.0, true, 0}; const char* day = "2026-05-29"; };
struct Usage { double at; const char* host; std::int64_t tokens; std::optional<double> cost; double recordAge = 1; };
using Heard = std::variant<Hook, Report, Usage>;

// Claude's part of the document once the hosts are laid over a local Claude that is idle with
// 100 tokens and $1 today (or, with `localOffline`, over the document before the first scan).
struct MergeCase {
    const char* name; std::vector<Heard> heard; double checkAt;
    const char* status; bool needsInput; std::int64_t tokens; std::optional<double> cost; bool localOffline = false;
};
// clang-format on

void PrintTo(const MergeCase& c, std::ostream* os) {
    *os << c.name;
}

class RemoteMerge : public testing::TestWithParam<MergeCase> {};

TEST_P(RemoteMerge, ClaudeOfTheDocument) {
    const MergeCase& c = GetParam();
    TempHome home;
    auto clock = std::make_shared<FakeClock>(start);
    RemoteHosts hosts("desk", clock, std::make_shared<ModelPricing>(home.path()));
    for (const Heard& heard : c.heard) {
        clock->set(start + std::visit([](const auto& h) { return h.at; }, heard));
        if (const auto* hook = std::get_if<Hook>(&heard))
            hosts.recordEvent(hook->host, hook->agent, hook->event, std::nullopt);
        else if (const auto* report = std::get_if<Report>(&heard))
            hosts.recordReport({report->host, report->day, 480, report->claude, report->codex});
        else if (const auto* usage = std::get_if<Usage>(&heard))
            hosts.recordOtlp({{{.time = clock->now() - usage->recordAge,
                                .key = std::to_string(usage->at),
                                .usage = true,
                                .input = usage->tokens,
                                .cost = usage->cost,
                                .model = "none"}}},
                             usage->host);
    }
    clock->set(start + c.checkAt);
    Snapshot snapshot = Snapshot::offline(0);
    if (!c.localOffline) {
        snapshot.claude.status = "idle";
        snapshot.claude.tokensToday = 100;
        snapshot.claude.costToday = 1.0;
    }
    hosts.mergeInto(snapshot, clock->now());
    EXPECT_EQ(snapshot.claude.status, c.status);
    EXPECT_EQ(snapshot.claude.needsInput, c.needsInput);
    EXPECT_EQ(snapshot.claude.tokensToday, c.tokens);
    EXPECT_EQ(snapshot.claude.costToday, c.cost); // sums of halves and quarters: exact
    EXPECT_EQ(snapshot.claude.costComplete, c.cost.has_value());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Rules, RemoteMerge, testing::Values(
    MergeCase{"relay_adds_state_and_figures", {Report{0, "devbox", relayed("working", 50, 0.5)}}, 1, "working", false, 150, 1.5},
    MergeCase{"offline_host_changes_no_state", {Report{0, "devbox", relayed("offline", 0, 0.0)}}, 1, "idle", false, 100, 1.0},
    MergeCase{"two_hosts_sum", {Report{0, "devbox", relayed("idle", 50, 0.5)}, Report{1, "ci", relayed("idle", 7, 0.25)}}, 2, "idle", false, 157, 1.75},
    MergeCase{"an_unpriced_part_blanks_the_cost", {Report{0, "devbox", relayed("idle", 50, std::nullopt)}}, 1, "idle", false, 150, std::nullopt},
    MergeCase{"relay_counts_for_2_minutes", {Report{0, "devbox", relayed("working", 50, 0.5)}}, 119.9, "working", false, 150, 1.5},
    MergeCase{"silent_relay_drops_out", {Report{0, "devbox", relayed("working", 50, 0.5)}}, 120, "idle", false, 100, 1.0},
    MergeCase{"another_day_adds_state_only", {Report{0, "devbox", relayed("working", 50, 0.5), {}, "2026-05-28"}}, 1, "working", false, 100, 1.0},
    MergeCase{"own_host_adds_state_only", {Report{0, "DESK", relayed("working", 50, 0.5)}}, 1, "working", false, 100, 1.0},
    MergeCase{"otlp_counts_for_10_minutes", {Usage{0, "devbox", 40, 0.25}}, 599.9, "idle", false, 140, 1.25},
    MergeCase{"silent_exporter_drops_out", {Usage{0, "devbox", 40, 0.25}}, 600, "idle", false, 100, 1.0},
    MergeCase{"fresh_export_is_working", {Usage{0, "devbox", 40, 0.25}}, 18, "working", false, 140, 1.25},
    MergeCase{"yesterdays_record_not_counted", {Usage{0, "devbox", 40, 0.25, 86400}}, 1, "idle", false, 100, 1.0},
    MergeCase{"unpriced_record_blanks_the_cost", {Usage{0, "devbox", 40, std::nullopt}}, 1, "working", false, 140, std::nullopt},
    MergeCase{"loopback_exporter_is_this_machine", {Usage{0, "127.0.0.1", 40, 0.25}}, 1, "working", false, 100, 1.0},
    MergeCase{"relay_counts_instead_of_otlp", {Usage{0, "devbox", 40, 0.25}, Report{1, "devbox", relayed("idle", 50, 0.5)}}, 2, "working", false, 150, 1.5},
    MergeCase{"before_the_first_scan", {Report{0, "devbox", relayed("idle", 50, 0.5)}}, 1, "idle", false, 50, 0.5, true},
    MergeCase{"hook_working_for_600s", {Hook{0, "devbox", "claude", "PreToolUse"}}, 599.9, "working", false, 100, 1.0},
    MergeCase{"hook_working_then_idle", {Hook{0, "devbox", "claude", "PreToolUse"}}, 600, "idle", false, 100, 1.0},
    MergeCase{"hook_stop_hides_relay_working", {Report{0, "devbox", relayed("working", 50, 0.5)}, Hook{1, "devbox", "claude", "Stop"}}, 2, "idle", false, 150, 1.5},
    MergeCase{"needs_input_on_any_host", {Hook{0, "devbox", "claude", "PermissionRequest"}}, 299.9, "idle", true, 100, 1.0},
    MergeCase{"needs_input_expires", {Hook{0, "devbox", "claude", "PermissionRequest"}}, 300, "idle", false, 100, 1.0},
    MergeCase{"hooks_of_other_agents_ignored", {Hook{0, "devbox", "gemini", "PreToolUse"}}, 1, "idle", false, 100, 1.0}),
    [](const testing::TestParamInfo<MergeCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(RemoteHosts, NewestActivityAndBoundedHostCount) {
    TempHome home;
    auto clock = std::make_shared<FakeClock>(start);
    RemoteHosts hosts("desk", clock, std::make_shared<ModelPricing>(home.path()));
    for (int i = 0; i <= RemoteHosts::maxHosts; ++i) {
        clock->set(start + i);
        hosts.recordEvent(QString("host-%1").arg(i), "codex", "SessionStart", std::nullopt);
    }
    const auto views = hosts.hosts();
    ASSERT_EQ(views.size(), size_t(RemoteHosts::maxHosts));
    EXPECT_EQ(views.front().host, "host-1") << "the host heard from longest ago made way";

    Snapshot snapshot = Snapshot::offline(0);
    snapshot.codex.lastActivityAt = std::int64_t(start) + 10;
    hosts.mergeInto(snapshot, clock->now());
    EXPECT_EQ(snapshot.codex.lastActivityAt, std::int64_t(start) + 64);
    EXPECT_EQ(snapshot.codex.status, "idle");
}

QByteArray sample(const char* name) {
    QFile file(QString(GLIMMET_TESTS_DIR "/status/data/otlp/") + name);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
    return file.readAll();
}

// The exports of real Claude Code 2.1.332 and Codex 0.171 runs: two Claude API requests of
// 1200 input, 85 output, 4000 cache-read and 300 cache-write tokens at $0.0088 each, and one
// Codex response of 5200 input (4000 of them cached) and 85 output tokens.
TEST(RemoteHosts, RealExportsGivePerHostFigures) {
    TempHome home;
    auto clock = std::make_shared<FakeClock>(1796576420.0); // a few seconds after the runs
    auto pricing = std::make_shared<ModelPricing>(home.path());
    RemoteHosts hosts("desk", clock, pricing);

    const auto claudeLogs = OtlpBatch::fromLogs(sample("claude-logs-002.json"));
    const auto codexLogs = OtlpBatch::fromLogs(sample("codex-logs-006.json"));
    const auto claudeMetrics = OtlpBatch::fromMetrics(sample("claude-metrics-003.json"));
    // Metrics that differ from the logs beside them: the logs count.
    const auto otherMetrics = OtlpBatch::fromMetrics(
        sample("claude-metrics-003.json").replace("\"asDouble\":2400", "\"asDouble\":2401"));
    ASSERT_TRUE(claudeLogs && codexLogs && claudeMetrics && otherMetrics);
    for (int twice = 0; twice < 2; ++twice) {         // an exporter's retry counts once
        hosts.recordOtlp(*otherMetrics, "10.0.0.5");  // metrics beside logs, first
        hosts.recordOtlp(*claudeLogs, "10.0.0.5");    // Claude's resource names no host
        hosts.recordOtlp(*codexLogs, "10.0.0.6");     // Codex's names "vm"
        hosts.recordOtlp(*claudeMetrics, "10.0.0.7"); // metrics alone
    }
    auto views = hosts.hosts();
    ASSERT_EQ(views.size(), 3u);
    for (const RemoteHostView& view : {views[0], views[1]}) { // "10.0.0.5", "10.0.0.7"
        EXPECT_EQ(view.claude.tokensToday, 11170) << view.host.toStdString();
        EXPECT_DOUBLE_EQ(view.claude.costToday.value_or(0), 0.0176) << view.host.toStdString();
        EXPECT_EQ(view.claude.status, "working") << view.host.toStdString();
        EXPECT_EQ(view.sources, QStringList{"otlp"});
    }
    const RemoteHostView& vm = views[2];
    EXPECT_EQ(vm.host, "vm");
    EXPECT_EQ(vm.codex.tokensToday, 5285);
    EXPECT_FALSE(vm.codex.costComplete) << "no price is known for gpt-6.2-sol";
    EXPECT_EQ(vm.codex.lastActivityAt, 1796576406);

    // A price that arrives later prices what was waiting: 1200 × 1e-6 + 4000 × 1e-7 + 85 × 1e-5.
    ASSERT_TRUE(pricing->merge(R"({"gpt-6.2-sol":{"input_cost_per_token":1e-6,)"
                               R"("cache_read_input_token_cost":1e-7,"output_cost_per_token":1e-5}})"));
    hosts.recordOtlp(*codexLogs, "10.0.0.6");
    views = hosts.hosts();
    EXPECT_EQ(views[2].codex.tokensToday, 5285);
    EXPECT_DOUBLE_EQ(views[2].codex.costToday.value_or(0), 0.00245);
}

TEST(RemoteHosts, HostListJson) {
    TempHome home;
    auto clock = std::make_shared<FakeClock>(start);
    RemoteHosts hosts("desk", clock, std::make_shared<ModelPricing>(home.path()));
    hosts.recordReport(
        {"devbox", "2026-05-29", 480, relayed("working", 50, 0.5), {"offline", 0, 0.0, true, 0}});
    hosts.recordEvent("devbox", "codex", "PermissionRequest", std::nullopt);
    EXPECT_EQ(
        hosts.hostsJson(),
        R"([{"claude":{"cost_complete":true,"cost_today_usd":0.5,"last_activity_at":1779999995,)"
        R"("needs_input":false,"status":"working","tokens_today":50},"codex":{"cost_complete":true,)"
        R"("cost_today_usd":0,"last_activity_at":0,"needs_input":true,"status":"offline","tokens_today":0},)"
        R"("counted":true,"host":"devbox","last_seen":1780000000,"local":false,"sources":["hooks","relay"]}])");
}

} // namespace
