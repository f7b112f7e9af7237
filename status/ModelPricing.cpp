#include "status/ModelPricing.h"

#include "common/Endpoints.h"
#include "common/HttpClient.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThreadPool>

namespace glimmet {

namespace {

TokenPrice perMillion(double input, double cachedInput, double cacheWrite, double cacheWrite1h, double output,
                      std::optional<double> priorityInput = {},
                      std::optional<double> priorityCachedInput = {},
                      std::optional<double> priorityOutput = {}) {
    const auto scale = [](std::optional<double> v) { return v ? std::optional(*v / 1e6) : std::nullopt; };
    return {input / 1e6,  cachedInput / 1e6,    cacheWrite / 1e6,           cacheWrite1h / 1e6,
            output / 1e6, scale(priorityInput), scale(priorityCachedInput), scale(priorityOutput)};
}

std::optional<double> jsonNumber(const QJsonObject& row, const char* key) {
    const QJsonValue value = row.value(QLatin1String(key));
    return value.isDouble() ? std::optional(value.toDouble()) : std::nullopt;
}

// Effort suffixes that name the same model; "-extra-high" is tested before "-high".
constexpr const char* effortSuffixes[] = {"-extra-high", "-xhigh", "-ultra", "-medium",
                                          "-high",       "-none",  "-low",   "-max"};

constexpr std::pair<const char*, const char*> families[] = {
    {"claude-opus-4-", "claude-opus-4"},
    {"claude-sonnet-4-", "claude-sonnet-4"},
    {"claude-haiku-4-", "claude-haiku-4"},
    {"gpt-5-codex-", "gpt-5-codex"},
};

} // namespace

const QHash<QString, TokenPrice>& ModelPricing::fallback() {
    static const QHash<QString, TokenPrice> table{
        {QStringLiteral("gpt-5"), perMillion(1.25, 0.125, 1.25, 2.5, 10, 2.5, 0.25, 20)},
        {QStringLiteral("gpt-5-codex"), perMillion(1.25, 0.125, 1.25, 2.5, 10)},
        {QStringLiteral("gpt-5.6-sol"), perMillion(5, 0.5, 5, 10, 30, 10, 1, 60)},
        {QStringLiteral("claude-opus-4"), perMillion(15, 1.5, 18.75, 30, 75)},
        {QStringLiteral("claude-sonnet-4"), perMillion(3, 0.3, 3.75, 6, 15)},
        {QStringLiteral("claude-haiku-4"), perMillion(1, 0.1, 1.25, 2, 5)},
    };
    return table;
}

std::shared_ptr<ModelPricing> ModelPricing::shared() {
    static const std::shared_ptr<ModelPricing> instance = std::make_shared<ModelPricing>();
    return instance;
}

QString ModelPricing::defaultCacheFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/GlimmetBridge");
}

ModelPricing::ModelPricing(const QString& cacheFolder)
    : prices(fallback())
    , _cachePath(cacheFolder + QStringLiteral("/model-prices.json")) {
    QDir().mkpath(cacheFolder);
    QFile cache(_cachePath);
    if (cache.open(QIODevice::ReadOnly))
        merge(cache.readAll());
}

void ModelPricing::refresh(std::function<void()> finished) {
    HttpRequest request;
    request.url = Endpoints::url(Endpoint::LitellmRaw, QLatin1String(sourcePath));
    // The price file is a few megabytes from a distant host: the download ends when no byte
    // moves for refreshTimeout seconds, or after a minute in any case.
    request.idleTimeout = refreshTimeout;
    request.deadline = 60;
    request.maxBodyBytes = 32 << 20;
    HttpClient::shared().send(
        std::move(request), nullptr,
        [weak = weak_from_this(), finished = std::move(finished)](HttpResponse response) mutable {
            // Parsing a price file takes a while: keep it off the network queue.
            QThreadPool::globalInstance()->start([weak, response = std::move(response), finished] {
                const auto self = weak.lock();
                // Only a usable price file replaces the cached copy.
                if (self && response.isHttp() && response.status == 200 && self->merge(response.body)) {
                    QSaveFile file(self->_cachePath);
                    if (file.open(QIODevice::WriteOnly) && file.write(response.body) == response.body.size())
                        file.commit();
                }
                if (finished)
                    finished();
            });
        });
}

bool ModelPricing::merge(const QByteArray& data) {
    const QJsonDocument document = QJsonDocument::fromJson(data);
    if (!document.isObject())
        return false;
    const QJsonObject table = document.object();
    QHash<QString, TokenPrice> rows;
    for (auto member = table.begin(); member != table.end(); ++member) {
        const QJsonObject row = member.value().toObject();
        const auto input = jsonNumber(row, "input_cost_per_token");
        const auto output = jsonNumber(row, "output_cost_per_token");
        if (!input || !output)
            continue;
        TokenPrice price;
        price.input = *input;
        price.output = *output;
        price.cachedInput = jsonNumber(row, "cache_read_input_token_cost").value_or(*input);
        price.cacheWrite = jsonNumber(row, "cache_creation_input_token_cost").value_or(*input);
        price.cacheWrite1h =
            jsonNumber(row, "cache_creation_input_token_cost_above_1hr").value_or(2 * *input);
        price.priorityInput = jsonNumber(row, "input_cost_per_token_priority");
        price.priorityCachedInput = jsonNumber(row, "cache_read_input_token_cost_priority");
        price.priorityOutput = jsonNumber(row, "output_cost_per_token_priority");
        rows.insert(member.key().toLower(), price);
    }
    if (rows.isEmpty())
        return false;
    std::lock_guard guard(lock);
    prices.insert(rows);
    ++_generation;
    return true;
}

std::optional<TokenPrice> ModelPricing::price(const QString& model, bool priority) const {
    QString name = model.toLower();
    if (const qsizetype slash = name.lastIndexOf(u'/'); slash >= 0)
        name = name.mid(slash + 1);
    QString base = name;
    for (const char* suffix : effortSuffixes) {
        if (name.endsWith(QLatin1String(suffix))) {
            base.chop(qsizetype(qstrlen(suffix)));
            break;
        }
    }

    std::optional<TokenPrice> row;
    {
        std::lock_guard guard(lock);
        if (auto it = prices.constFind(name); it != prices.cend())
            row = *it;
        else if (it = prices.constFind(base); it != prices.cend())
            row = *it;
        else {
            for (const auto& [prefix, family] : families) {
                if (base.startsWith(QLatin1String(prefix))) {
                    if (it = prices.constFind(QLatin1String(family)); it != prices.cend())
                        row = *it;
                    break;
                }
            }
        }
    }
    if (!row || !priority)
        return row;

    double m = 1.0;
    if (!row->priorityInput && !row->priorityOutput) {
        if (name.startsWith(u"gpt-5.5") || name.startsWith(u"gpt-5.6"))
            m = 2.5;
        else if (name.startsWith(u"gpt-5"))
            m = 2.0;
        else
            return std::nullopt;
    }
    TokenPrice fast = *row;
    fast.input = row->priorityInput.value_or(row->input * m);
    fast.cachedInput = row->priorityCachedInput.value_or(row->cachedInput * m);
    fast.cacheWrite = row->cacheWrite * m;
    fast.cacheWrite1h = row->cacheWrite1h * m;
    fast.output = row->priorityOutput.value_or(row->output * m);
    return fast;
}

} // namespace glimmet
