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

#include <algorithm>

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

// Last name parts that make a cheaper or dearer model than the family before them.
constexpr const char* tierWords[] = {"mini", "nano", "pro"};

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// `text` from `at` to its end is a date: "20251001" or "2025-11-13".
bool isDateAt(QStringView text, qsizetype at) {
    const qsizetype length = text.size() - at;
    if (at < 0 || (length != 8 && length != 10))
        return false;
    for (qsizetype i = 0; i < length; ++i) {
        const bool dash = length == 10 && (i == 4 || i == 7);
        if (dash ? text[at + i] != u'-' : !isDigit(text[at + i]))
            return false;
    }
    return true;
}

// The row of the longest prefix of whole name parts that the table knows, found by dropping
// last parts one at a time. A version number or a tier word is never dropped, so that
// "claude-opus-4-8" is not priced as "claude-opus-4", nor "gpt-5-codex-mini" as "gpt-5-codex".
std::optional<TokenPrice> familyRow(const QHash<QString, TokenPrice>& prices, QStringView name) {
    for (qsizetype dash = name.lastIndexOf(u'-'); dash > 0; dash = name.lastIndexOf(u'-')) {
        const QStringView last = name.mid(dash + 1);
        if (last.isEmpty() || isDigit(last.front()) ||
            std::any_of(std::begin(tierWords), std::end(tierWords),
                        [last](const char* word) { return last == QLatin1String(word); }))
            return std::nullopt;
        name.truncate(dash);
        if (const auto it = prices.constFind(name.toString()); it != prices.cend())
            return *it;
    }
    return std::nullopt;
}

} // namespace

// Facts from the LiteLLM price table as the offline snapshots in the npm packages
// ccusage@18.0.11 (the Claude rows) and @ccusage/codex@18.0.11 (the GPT rows) carry it, in
// dollars per million tokens: input, cached input, 5-minute and 1-hour cache writes, output,
// then the priority tier's input, cached input and output where known. Where the table gives
// no cache price, a column holds what a downloaded row without it gets (the input price;
// twice that for 1-hour writes). "claude-haiku-4", "gpt-5.6-sol" and the priority prices of
// "gpt-5" are the bridge's own earlier rows.
const QHash<QString, TokenPrice>& ModelPricing::fallback() {
    static const QHash<QString, TokenPrice> table{
        {QStringLiteral("claude-opus-4"), perMillion(15, 1.5, 18.75, 30, 75)},
        {QStringLiteral("claude-opus-4-1"), perMillion(15, 1.5, 18.75, 30, 75)},
        {QStringLiteral("claude-opus-4-5"), perMillion(5, 0.5, 6.25, 10, 25)},
        {QStringLiteral("claude-opus-4-6"), perMillion(5, 0.5, 6.25, 10, 25)},
        {QStringLiteral("claude-opus-4-7"), perMillion(5, 0.5, 6.25, 10, 25)},
        {QStringLiteral("claude-sonnet-4"), perMillion(3, 0.3, 3.75, 6, 15)},
        {QStringLiteral("claude-sonnet-4-5"), perMillion(3, 0.3, 3.75, 6, 15)},
        {QStringLiteral("claude-sonnet-4-6"), perMillion(3, 0.3, 3.75, 6, 15)},
        {QStringLiteral("claude-haiku-4"), perMillion(1, 0.1, 1.25, 2, 5)},
        {QStringLiteral("claude-haiku-4-5"), perMillion(1, 0.1, 1.25, 2, 5)},
        {QStringLiteral("claude-3-7-sonnet"), perMillion(3, 0.3, 3.75, 6, 15)},
        {QStringLiteral("claude-3-5-haiku"), perMillion(0.8, 0.08, 1, 1.6, 4)},
        {QStringLiteral("gpt-5"), perMillion(1.25, 0.125, 1.25, 2.5, 10, 2.5, 0.25, 20)},
        {QStringLiteral("gpt-5-codex"), perMillion(1.25, 0.125, 1.25, 2.5, 10)},
        {QStringLiteral("gpt-5-mini"), perMillion(0.25, 0.025, 0.25, 0.5, 2)},
        {QStringLiteral("gpt-5-nano"), perMillion(0.05, 0.005, 0.05, 0.1, 0.4)},
        {QStringLiteral("gpt-5-pro"), perMillion(15, 15, 15, 30, 120)},
        {QStringLiteral("gpt-5.1"), perMillion(1.25, 0.125, 1.25, 2.5, 10)},
        {QStringLiteral("gpt-5.1-codex"), perMillion(1.25, 0.125, 1.25, 2.5, 10)},
        {QStringLiteral("gpt-5.1-codex-max"), perMillion(1.25, 0.125, 1.25, 2.5, 10)},
        {QStringLiteral("gpt-5.1-codex-mini"), perMillion(0.25, 0.025, 0.25, 0.5, 2)},
        {QStringLiteral("gpt-5.2"), perMillion(1.75, 0.175, 1.75, 3.5, 14)},
        {QStringLiteral("gpt-5.2-codex"), perMillion(1.75, 0.175, 1.75, 3.5, 14)},
        {QStringLiteral("gpt-5.2-pro"), perMillion(21, 21, 21, 42, 168)},
        {QStringLiteral("gpt-5.3-codex"), perMillion(1.75, 0.175, 1.75, 3.5, 14)},
        {QStringLiteral("gpt-5.4"), perMillion(2.5, 0.25, 2.5, 5, 15)},
        {QStringLiteral("gpt-5.4-mini"), perMillion(0.75, 0.075, 0.75, 1.5, 4.5)},
        {QStringLiteral("gpt-5.4-nano"), perMillion(0.2, 0.02, 0.2, 0.4, 1.25)},
        {QStringLiteral("gpt-5.4-pro"), perMillion(30, 3, 30, 60, 180)},
        {QStringLiteral("gpt-5.6-sol"), perMillion(5, 0.5, 5, 10, 30, 10, 1, 60)},
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

QString ModelPricing::normalised(const QString& model) {
    QString name = model.trimmed().toLower();
    if (const qsizetype slash = name.lastIndexOf(u'/'); slash >= 0) // "bedrock/", "openrouter/openai/"
        name.remove(0, slash + 1);
    // Region and vendor parts of cloud names, all letters: "us.anthropic.", "global.anthropic.".
    for (qsizetype dot = name.indexOf(u'.'); dot > 0; dot = name.indexOf(u'.')) {
        const QStringView part = QStringView(name).left(dot);
        if (!std::all_of(part.begin(), part.end(),
                         [](QChar c) { return (c >= u'a' && c <= u'z') || c == u'-'; }))
            break;
        name.remove(0, dot + 1);
    }
    if (name.endsWith(u']') && name.contains(u'[')) // Claude Code's context size: "claude-opus-5[1m]"
        name.truncate(name.lastIndexOf(u'['));
    if (const qsizetype at = name.indexOf(u'@'); at > 0) // Vertex: "claude-opus-4-5@20251101"
        name.truncate(at);
    // Bedrock versions: "-v1:0", "-v2", "-v1".
    if (const qsizetype v = name.lastIndexOf(QLatin1String("-v")); v > 0) {
        const QStringView rest = QStringView(name).mid(v + 2);
        const qsizetype colon = rest.indexOf(u':');
        const auto digits = [](QStringView s) {
            return !s.isEmpty() && std::all_of(s.begin(), s.end(), isDigit);
        };
        if (colon < 0 ? digits(rest) : digits(rest.left(colon)) && digits(rest.mid(colon + 1)))
            name.truncate(v);
    }
    for (const qsizetype length : {8, 10}) { // "-20251001", "-2025-11-13"
        if (name.size() > length + 1 && name[name.size() - length - 1] == u'-' &&
            isDateAt(name, name.size() - length)) {
            name.chop(length + 1);
            break;
        }
    }
    if (name.startsWith(QLatin1String("claude-"))) // "claude-sonnet-4.5" is "claude-sonnet-4-5"
        name.replace(u'.', u'-');
    // "gpt-5-1-codex" is "gpt-5.1-codex": a one-digit minor version after the major one.
    if (name.startsWith(QLatin1String("gpt-"))) {
        qsizetype i = 4;
        while (i < name.size() && isDigit(name[i]))
            ++i;
        if (i > 4 && i + 1 < name.size() && name[i] == u'-' && isDigit(name[i + 1]) &&
            (i + 2 == name.size() || name[i + 2] == u'-'))
            name[i] = u'.';
    }
    return name;
}

std::optional<TokenPrice> ModelPricing::price(const QString& model, bool priority) const {
    QString name = model.toLower();
    if (const qsizetype slash = name.lastIndexOf(u'/'); slash >= 0)
        name = name.mid(slash + 1);
    const QString plain = normalised(name);
    QString base = plain;
    for (const char* suffix : effortSuffixes) {
        if (plain.endsWith(QLatin1String(suffix))) {
            base.chop(qsizetype(qstrlen(suffix)));
            break;
        }
    }

    std::optional<TokenPrice> row;
    {
        std::lock_guard guard(lock);
        for (const QString& key : {name, plain, base}) {
            if (const auto it = prices.constFind(key); it != prices.cend()) {
                row = *it;
                break;
            }
        }
        if (!row)
            row = familyRow(prices, base);
    }
    if (!row || !priority)
        return row;

    double m = 1.0;
    if (!row->priorityInput && !row->priorityOutput) {
        if (plain.startsWith(u"gpt-5.5") || plain.startsWith(u"gpt-5.6"))
            m = 2.5;
        else if (plain.startsWith(u"gpt-5"))
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
