#include "usage/ModelPricing.h"
#include "common/Endpoints.h"
#include "support/FakeHttpServer.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <future>

using namespace glimmet;
using namespace glimmet::test;

namespace {

constexpr double M = 1e-6; // dollars per million tokens → per token

struct Expected {
    double input, cachedInput, cacheWrite, cacheWrite1h, output;
};

void expectPrice(const std::optional<TokenPrice>& price, const Expected& e, const std::string& what) {
    ASSERT_TRUE(price.has_value()) << what;
    EXPECT_DOUBLE_EQ(price->input, e.input * M) << what;
    EXPECT_DOUBLE_EQ(price->cachedInput, e.cachedInput * M) << what;
    EXPECT_DOUBLE_EQ(price->cacheWrite, e.cacheWrite * M) << what;
    EXPECT_DOUBLE_EQ(price->cacheWrite1h, e.cacheWrite1h * M) << what;
    EXPECT_DOUBLE_EQ(price->output, e.output * M) << what;
}

class ModelPricingTest : public testing::Test {
protected:
    TempHome home;
    QString folder = home.path() + "/prices";
};

TEST_F(ModelPricingTest, LookupRules) {
    ModelPricing pricing(folder);
    pricing.merge(R"({"gpt-5.5":{"input_cost_per_token":2e-6,"output_cost_per_token":8e-6},
                      "claude-3-7-sonnet-20250219":{"input_cost_per_token":3e-6,"output_cost_per_token":15e-6}})");
    const Expected sonnet{3, 0.3, 3.75, 6, 15}, codex{1.25, 0.125, 1.25, 2.5, 10},
        gpt5{1.25, 0.125, 1.25, 2.5, 10}, opus{15, 1.5, 18.75, 30, 75};
    const struct {
        const char* model;
        bool priority;
        std::optional<Expected> expected;
    } cases[] = {
        {"anthropic/claude-sonnet-4-5", false, sonnet}, // provider prefix dropped, family row
        {"Claude-Sonnet-4-5-20250929", false, sonnet},  // case-insensitive
        {"gpt-5-codex-high", false, codex},             // effort suffix, then exact row
        {"gpt-5-extra-high", false, gpt5},              // the whole "-extra-high" is removed
        {"gpt-5-codex-mini-xhigh", false, codex},       // suffix removed, then family
        {"claude-opus-4", false, opus},                 // exact built-in row
        {"claude-opus-4-1-max", false, opus},
        {"claude-3-5-sonnet", false, std::nullopt},             // no row, no family
        {"claude-opus-4", true, std::nullopt},                  // Claude has no priority tier
        {"gpt-5", true, Expected{2.5, 0.25, 1.25, 2.5, 20}},    // the row's own priority prices
        {"gpt-5-codex", true, Expected{2.5, 0.25, 2.5, 5, 20}}, // gpt-5*: × 2
        {"gpt-5.5", true, Expected{5, 5, 5, 10, 20}},           // gpt-5.5*: × 2.5
        {"gpt-5.6-sol-high", true, Expected{10, 1, 5, 10, 60}}, // row has priority prices
        {"openai/gpt-5.5-low", true, Expected{5, 5, 5, 10, 20}},
        {"claude-3-7-sonnet-20250219", false, Expected{3, 3, 3, 6, 15}}, // merged row defaults
        {"", false, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string what = std::string(c.model) + (c.priority ? " (priority)" : "");
        const auto price = pricing.price(c.model, c.priority);
        if (c.expected)
            expectPrice(price, *c.expected, what);
        else
            EXPECT_FALSE(price.has_value()) << what;
    }
}

TEST_F(ModelPricingTest, MergeDefaultsAndSkippedRows) {
    ModelPricing pricing(folder);
    EXPECT_TRUE(pricing.merge(R"({
        "Model-A": {"input_cost_per_token": 1e-6, "output_cost_per_token": 2e-6},
        "model-b": {"input_cost_per_token": 1e-6, "output_cost_per_token": 2e-6,
                    "cache_read_input_token_cost": 1e-7, "cache_creation_input_token_cost": 1.5e-6,
                    "cache_creation_input_token_cost_above_1hr": 3e-6, "input_cost_per_token_priority": "x",
                    "output_cost_per_token_priority": 4e-6},
        "model-c": {"input_cost_per_token": "1e-6", "output_cost_per_token": 2e-6},
        "model-d": {"input_cost_per_token": 1e-6},
        "model-e": [],
        "claude-sonnet-4": {"input_cost_per_token": 9e-6, "output_cost_per_token": 9e-6}
    })"));
    expectPrice(pricing.price("model-a", false), {1, 1, 1, 2, 2}, "defaults");
    const auto b = pricing.price("model-b", false);
    expectPrice(b, {1, 0.1, 1.5, 3, 2}, "explicit");
    EXPECT_EQ(b->priorityInput, std::nullopt) << "a non-number counts as missing";
    EXPECT_DOUBLE_EQ(b->priorityOutput.value_or(0), 4e-6);
    EXPECT_FALSE(pricing.price("model-c", false)) << "string price";
    EXPECT_FALSE(pricing.price("model-d", false)) << "no output price";
    EXPECT_FALSE(pricing.price("model-e", false));
    expectPrice(pricing.price("claude-sonnet-4", false), {9, 9, 9, 18, 9}, "file row replaces built-in");
    expectPrice(pricing.price("claude-haiku-4", false), {1, 0.1, 1.25, 2, 5}, "other built-in rows stay");

    for (const char* bad : {"", "not json", "[]", "{}", R"({"x":{"input_cost_per_token":1}})"})
        EXPECT_FALSE(pricing.merge(bad)) << bad;
}

TEST_F(ModelPricingTest, CacheFileOverlaysTheBuiltInTable) {
    QDir().mkpath(folder);
    QFile cache(folder + "/model-prices.json");
    ASSERT_TRUE(cache.open(QIODevice::WriteOnly));
    cache.write(R"({"gpt-5":{"input_cost_per_token":4e-6,"output_cost_per_token":5e-6}})");
    cache.close();
    expectPrice(ModelPricing(folder).price("gpt-5", false), {4, 4, 4, 8, 5}, "from cache");

    ASSERT_TRUE(cache.open(QIODevice::WriteOnly | QIODevice::Truncate));
    cache.write("{broken");
    cache.close();
    expectPrice(ModelPricing(folder).price("gpt-5", false), {1.25, 0.125, 1.25, 2.5, 10},
                "broken cache ignored");
}

class ModelPricingRefresh : public ModelPricingTest {
protected:
    FakeHttpServer fake;
    const QString path = ModelPricing::sourcePath;

    void SetUp() override { Endpoints::setOverride(Endpoint::LitellmRaw, fake.baseUrl()); }

    QByteArray cacheBytes(const ModelPricing& pricing) {
        QFile file(pricing.cachePath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<none>");
    }

    static void refreshAndWait(const std::shared_ptr<ModelPricing>& pricing) {
        std::promise<void> done;
        pricing->refresh([&done] { done.set_value(); });
        ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    }
};

TEST_F(ModelPricingRefresh, SuccessMergesAndRewritesTheCache) {
    const QByteArray body = R"({"gpt-9":{"input_cost_per_token":7e-6,"output_cost_per_token":8e-6}})";
    fake.setJson(path, body);
    auto pricing = std::make_shared<ModelPricing>(folder);
    refreshAndWait(pricing);
    expectPrice(pricing->price("gpt-9", false), {7, 7, 7, 14, 8}, "downloaded");
    EXPECT_EQ(cacheBytes(*pricing), body);
    ASSERT_EQ(fake.requests(path).size(), 1);
    EXPECT_EQ(fake.requests(path)[0].method, "GET");
}

TEST_F(ModelPricingRefresh, OtherAnswersChangeNothing) {
    const QByteArray good = R"({"gpt-9":{"input_cost_per_token":7e-6,"output_cost_per_token":8e-6}})";
    const QByteArray other = R"({"gpt-9":{"input_cost_per_token":1e-6,"output_cost_per_token":1e-6}})";
    const struct {
        int status;
        QByteArray body;
    } answers[] = {{304, other}, {500, other}, {404, other}, {200, "not json"}, {200, ""}};
    for (const auto& answer : answers) {
        QDir().mkpath(folder);
        QFile cache(folder + "/model-prices.json");
        ASSERT_TRUE(cache.open(QIODevice::WriteOnly | QIODevice::Truncate));
        cache.write(good);
        cache.close();
        fake.setResponse(path, FakeResponse{answer.status, answer.body});
        auto pricing = std::make_shared<ModelPricing>(folder);
        refreshAndWait(pricing);
        expectPrice(pricing->price("gpt-9", false), {7, 7, 7, 14, 8}, std::to_string(answer.status));
        EXPECT_EQ(cacheBytes(*pricing), good) << answer.status << " " << answer.body.constData();
    }
}

} // namespace
