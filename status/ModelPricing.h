#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace glimmet {

// Per-token US-dollar prices of one model.
struct TokenPrice {
    double input = 0;
    double cachedInput = 0;
    double cacheWrite = 0;   // 5-minute prompt-cache write
    double cacheWrite1h = 0; // 1-hour prompt-cache write
    double output = 0;
    std::optional<double> priorityInput;
    std::optional<double> priorityCachedInput;
    std::optional<double> priorityOutput;

    bool operator==(const TokenPrice&) const = default;
};

// Prices of the models the agents use: a built-in table, overlaid with the cached copy of
// the public LiteLLM price file and refreshed once per start. Thread-safe; shared() is the
// process-wide instance, created on first use.
class ModelPricing : public std::enable_shared_from_this<ModelPricing> {
public:
    static constexpr auto sourcePath = "/BerriAI/litellm/main/model_prices_and_context_window.json";
    static constexpr double refreshTimeout = 12.0;

    static std::shared_ptr<ModelPricing> shared();

    // The built-in table overlaid with "model-prices.json" in `cacheFolder` when readable.
    explicit ModelPricing(const QString& cacheFolder = defaultCacheFolder());

    // The application data folder: <generic data location>/GlimmetBridge.
    static QString defaultCacheFolder();
    QString cachePath() const { return _cachePath; }

    // Downloads the price file once in the background; a good answer is merged and replaces
    // the cache file. `finished` (optional, for callers that wait) runs on a worker thread.
    void refresh(std::function<void()> finished = {});

    // The price to apply to `model`; `priority` for usage on the fast (priority) tier.
    // Absent when the model cannot be priced.
    std::optional<TokenPrice> price(const QString& model, bool priority) const;

    // The name under which the table knows a model that a provider or an agent spelled its
    // own way: lower case, without routing and region prefixes ("bedrock/",
    // "us.anthropic."), version and date suffixes ("-v1:0", "@20251101", "-20251001",
    // "-2025-11-13") or a context-size tag ("[1m]"), with the versions written as the table
    // writes them ("claude-opus-4-5", "gpt-5.1").
    static QString normalised(const QString& model);

    // Adds the rows of a price file to the table; false when the bytes hold no usable row.
    bool merge(const QByteArray& data);

    static const QHash<QString, TokenPrice>& fallback();

    // Counts the merges so far: a cost worked out at one count holds until it changes.
    std::uint64_t generation() const { return _generation.load(); }

private:
    mutable std::mutex lock;
    QHash<QString, TokenPrice> prices;
    const QString _cachePath;
    std::atomic<std::uint64_t> _generation{0};
};

} // namespace glimmet
