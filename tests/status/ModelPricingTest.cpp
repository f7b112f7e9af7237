#include "status/ModelPricing.h"
#include "common/Endpoints.h"
#include "support/FakeHttpServer.h"
#include "support/TempHome.h"

#include <QFile>

#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <vector>

using namespace glimmet;
using namespace glimmet::test;

namespace {

// Dollars per million tokens: input, cached input, 5-minute and 1-hour cache writes, output.
using PerMillion = std::array<double, 5>;

std::optional<PerMillion> perMillion(const std::optional<TokenPrice>& p) {
    const auto m = [](double perToken) { return std::round(perToken * 1e12) / 1e6; };
    if (!p)
        return std::nullopt;
    return PerMillion{m(p->input), m(p->cachedInput), m(p->cacheWrite), m(p->cacheWrite1h), m(p->output)};
}

TEST(ModelPricing, LookupRulesOverBuiltInAndMergedRows) {
    TempHome home;
    ModelPricing pricing(home.path());
    EXPECT_TRUE(pricing.merge(R"({"gpt-5.5": {"input_cost_per_token": 2e-6, "output_cost_per_token": 8e-6},
        "Model-A": {"input_cost_per_token": 1e-6, "output_cost_per_token": 2e-6},
        "model-b": {"input_cost_per_token": 1e-6, "output_cost_per_token": 2e-6, "cache_read_input_token_cost": 1e-7,
                    "cache_creation_input_token_cost": 1.5e-6, "cache_creation_input_token_cost_above_1hr": 3e-6,
                    "input_cost_per_token_priority": "x", "output_cost_per_token_priority": 4e-6},
        "model-c": {"input_cost_per_token": "1e-6", "output_cost_per_token": 2e-6},
        "claude-sonnet-4-5": {"input_cost_per_token": 9e-6, "output_cost_per_token": 9e-6}})"));
    for (const char* bad : {"not json", "[]", R"({"x":{"input_cost_per_token":1}})"})
        EXPECT_FALSE(pricing.merge(bad)) << bad;
    const struct {
        const char* model;
        bool priority;
        std::optional<PerMillion> expected;
    } cases[] = {
        {"anthropic/Claude-Sonnet-4-5-20250929", false,
         PerMillion{9, 9, 9, 18, 9}},                                        // its row, read from a file
        {"claude-haiku-4", false, PerMillion{1, 0.1, 1.25, 2, 5}},           // built-in rows stay
        {"gpt-5-extra-high", false, PerMillion{1.25, 0.125, 1.25, 2.5, 10}}, // the whole effort suffix
        {"gpt-5.1-codex-max-high", false, PerMillion{1.25, 0.125, 1.25, 2.5, 10}}, // suffix, then row
        {"claude-3-5-sonnet", false, std::nullopt},                                // no row, no family
        {"gpt-5", true, PerMillion{2.5, 0.25, 1.25, 2.5, 20}},     // the row's own priority prices
        {"openai/gpt-5.5-low", true, PerMillion{5, 5, 5, 10, 20}}, // gpt-5.5*: × 2.5
        {"model-a", false, PerMillion{1, 1, 1, 2, 2}},    // defaults from the input and output prices
        {"model-b", true, PerMillion{1, 0.1, 1.5, 3, 4}}, // a non-number counts as missing
        {"model-c", false, std::nullopt},                 // a price as a string
    };
    for (const auto& c : cases)
        EXPECT_EQ(perMillion(pricing.price(c.model, c.priority)), c.expected) << c.model << ' ' << c.priority;
}

// Names the agents write, routed through providers or not, against the built-in rows alone.
TEST(ModelPricing, RealNamesFindTheirRow) {
    TempHome home;
    const ModelPricing pricing(home.path());
    const PerMillion opus4{15, 1.5, 18.75, 30, 75}, opus45{5, 0.5, 6.25, 10, 25}, sonnet{3, 0.3, 3.75, 6, 15},
        haiku45{1, 0.1, 1.25, 2, 5}, gpt51{1.25, 0.125, 1.25, 2.5, 10}, gpt52{1.75, 0.175, 1.75, 3.5, 14};
    // By the row they find; no newer version priced as an older family, nor a mini as the full model.
    const std::pair<std::optional<PerMillion>, std::vector<const char*>> cases[] = {
        {opus45,
         {"claude-opus-4-6", "claude-opus-4-5-20251101", "global.anthropic.claude-opus-4-6-v1",
          "claude-opus-4-5@20251101", "vertex_ai/claude-opus-4-7@default", "claude-opus-4-6[1m]",
          "claude-opus-4-6-thinking"}},
        {opus4, {"claude-opus-4-1-20250805", "claude-opus-4-20250514"}},
        {sonnet,
         {"claude-sonnet-4-5-20250929", "us.anthropic.claude-sonnet-4-5-20250929-v1:0",
          "converse/jp.anthropic.claude-sonnet-4-6", "anthropic/claude-sonnet-4.5"}},
        {haiku45, {"claude-haiku-4-5-20251001", "anthropic.claude-haiku-4-5-20251001-v1:0"}},
        {gpt51,
         {"gpt-5.1-codex", "gpt-5-1-codex-2025-11-13", "gpt-5-chat-latest", "openrouter/openai/gpt-5"}},
        {gpt52, {"azure/gpt-5.2-2025-12-11", "gpt-5.3-codex-xhigh"}},
        {std::nullopt,
         {"claude-opus-4-8", "claude-opus-5-5", "gpt-5-codex-mini", "gpt-5.5", "gpt-5.5-codex"}},
    };
    for (const auto& [expected, models] : cases)
        for (const char* model : models)
            EXPECT_EQ(perMillion(pricing.price(model, false)), expected) << model;
}

TEST(ModelPricing, RefreshTakesOnlyAGoodAnswerAndRewritesTheCache) {
    TempHome home;
    FakeHttpServer fake;
    Endpoints::setOverride(Endpoint::LitellmRaw, fake.baseUrl());
    const QByteArray cached = R"({"gpt-9":{"input_cost_per_token":7e-6,"output_cost_per_token":8e-6}})";
    const QByteArray fresh = R"({"gpt-9":{"input_cost_per_token":1e-6,"output_cost_per_token":2e-6}})";
    const std::pair<int, QByteArray> answers[] = {
        {200, fresh}, {304, fresh}, {500, fresh}, {200, "not json"}};
    for (const auto& [status, body] : answers) {
        const bool taken = status == 200 && body == fresh;
        QFile cache(home.write("model-prices.json", cached));
        fake.setResponse(ModelPricing::sourcePath, FakeResponse{status, body});
        auto pricing = std::make_shared<ModelPricing>(home.path());
        std::promise<void> done;
        pricing->refresh([&done] { done.set_value(); });
        ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready) << status;
        const PerMillion expected = taken ? PerMillion{1, 1, 1, 2, 2} : PerMillion{7, 7, 7, 14, 8};
        EXPECT_EQ(perMillion(pricing->price("gpt-9", false)), expected) << status;
        ASSERT_TRUE(cache.open(QIODevice::ReadOnly));
        EXPECT_EQ(cache.readAll(), taken ? fresh : cached) << status;
    }
    home.write("model-prices.json", "{broken");
    EXPECT_EQ(perMillion(ModelPricing(home.path()).price("gpt-5", false)),
              (PerMillion{1.25, 0.125, 1.25, 2.5, 10}));
}

} // namespace
