#include "usage/QuotaEndpoints.h"

#include "common/Endpoints.h"
#include "common/Json.h"
#include "status/CodexWeeklyWindow.h"
#include "usage/Credentials.h"
#include "usage/UsageFetcher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSaveFile>
#include <QSysInfo>
#include <QUuid>

#include <algorithm>
#include <functional>

namespace glimmet {

namespace {

// How one provider's answers turn into error texts.
struct ProviderTexts {
    QString noCredential;
    QString requestFailed;
    QString expired;
    std::optional<QString> rateLimited; // absent: a 429 is just another HTTP status
    QString httpStatus;                 // followed by the status in decimal
    QString parseFailed;
    bool anySuccessStatus;      // 2xx counts as success, not only 200
    bool forbiddenMeansExpired; // 403 reads like 401
};

const ProviderTexts claudeTexts{
    QStringLiteral("未找到 Claude Code 登录凭据"),
    QStringLiteral("Claude 用量请求失败"),
    QStringLiteral("Claude 凭据过期，运行 claude 重新登录"),
    QStringLiteral("Claude 用量接口限流，稍后自动重试"),
    QStringLiteral("Claude 用量接口 HTTP "),
    QStringLiteral("Claude 用量响应解析失败"),
    false,
    false,
};

const ProviderTexts codexTexts{
    QStringLiteral("未找到 Codex 登录凭据 (~/.codex/auth.json)"),
    QStringLiteral("Codex 用量请求失败"),
    QStringLiteral("Codex 凭据过期，运行 codex 重新登录"),
    std::nullopt,
    QStringLiteral("Codex 用量接口 HTTP "),
    QStringLiteral("Codex 用量响应解析失败"),
    true,
    true,
};

const ProviderTexts grokTexts{
    QStringLiteral("未找到 Grok/Pi 登录凭据，请运行 grok login 或在 Pi 登录 xAI"),
    QStringLiteral("Grok 用量请求失败"),
    QStringLiteral("Grok 凭据过期，请重新登录 Grok/Pi"),
    QStringLiteral("Grok 用量接口限流，稍后自动重试"),
    QStringLiteral("Grok 用量接口 HTTP "),
    QStringLiteral("Grok 周额度响应解析失败"),
    false,
    true,
};

const ProviderTexts kimiTexts{
    QStringLiteral("未找到 Kimi Code 登录凭据或 API Key"),
    QStringLiteral("Kimi Code 用量请求失败"),
    QStringLiteral("Kimi Code 凭据无效或过期"),
    QStringLiteral("Kimi Code 用量接口限流，稍后自动重试"),
    QStringLiteral("Kimi Code 用量接口 HTTP "),
    QStringLiteral("Kimi Code 用量响应解析失败"),
    false,
    true,
};

using Parser = std::function<std::optional<ProviderUsage>(const QByteArray&, double)>;

ProviderUsage failure(const QString& text) {
    ProviderUsage usage;
    usage.error = text;
    return usage;
}

// A credential goes into a header: anything but printable ASCII (a line break above all)
// would corrupt the request, and no provider issues such tokens.
bool headerSafe(const QString& text) {
    return std::all_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.unicode() >= 0x20 && c.unicode() <= 0x7e; });
}

QByteArray bearer(const QString& token) {
    return "Bearer " + token.toLatin1();
}

// Sends one quota GET and reads its answer by the provider's rules.
ProviderUsage fetch(const ProviderTexts& texts, Endpoint host, const QString& pathAndQuery,
                    HttpHeaders headers, const Parser& parse, const Clock& clock) {
    HttpRequest request;
    request.url = Endpoints::url(host, pathAndQuery);
    request.headers = std::move(headers);
    request.deadline = QuotaEndpoints::requestTimeout;
    const auto answer = UsageFetcher::syncRequest(request);
    if (!answer)
        return failure(texts.requestFailed);
    const auto& [body, status] = *answer;
    const bool success = texts.anySuccessStatus ? status >= 200 && status <= 299 : status == 200;
    if (!success) {
        ProviderUsage usage;
        if (status == 401 || (status == 403 && texts.forbiddenMeansExpired)) {
            usage.error = texts.expired;
        } else if (status == 429 && texts.rateLimited) {
            usage.error = *texts.rateLimited;
            usage.rateLimited = true;
        } else {
            usage.error = texts.httpStatus + QString::number(status);
        }
        return usage;
    }
    if (auto parsed = parse(body, clock.now()))
        return *parsed;
    return failure(texts.parseFailed);
}

std::optional<double> jsonNumber(const QJsonValue& value) {
    return value.isDouble() ? std::optional(value.toDouble()) : std::nullopt;
}

std::optional<std::int64_t> minutesUntilIsoMember(const QJsonObject& object, QLatin1String key, double now) {
    const auto text = string(object.value(key));
    return text ? UsageFetcher::minutesUntil(*text, now) : std::nullopt;
}

std::optional<std::int64_t> minutesUntilReset(const QJsonObject& object, double now) {
    const auto reset = QuotaEndpoints::resetValue(object);
    return reset ? UsageFetcher::minutesUntil(*reset, now) : std::nullopt;
}

bool isFableWeeklyLimit(const QJsonObject& limit) {
    if (limit.value(QLatin1String("kind")).toString().toLower() != QLatin1String("weekly_scoped"))
        return false;
    const QJsonValue name = limit.value(QLatin1String("scope"))
                                .toObject()
                                .value(QLatin1String("model"))
                                .toObject()
                                .value(QLatin1String("display_name"));
    return name.isString() && name.toString().toLower().contains(QLatin1String("fable"));
}

// A Kimi Code limit window of five hours, written as 5 hours or 300 minutes.
bool isFiveHourWindow(const QJsonObject& window) {
    const auto duration = number(window.value(QLatin1String("duration")));
    const auto unit = string(window.value(QLatin1String("timeUnit")));
    constexpr double int64Limit = 9223372036854775808.0; // 2^63
    if (!duration || !unit || *duration >= int64Limit || *duration < -int64Limit)
        return false;
    const auto whole = std::int64_t(*duration);
    return (*unit == QLatin1String("TIME_UNIT_MINUTE") && whole == 300) ||
           (*unit == QLatin1String("TIME_UNIT_HOUR") && whole == 5);
}

// The kind of computer the Kimi Code service is told about: the running platform.
QString deviceModel() {
    return QStringLiteral("Linux");
}

} // namespace

ProviderUsage QuotaEndpoints::fetchClaude(const Clock& clock) {
    const auto token = Credentials::claudeAccessToken();
    if (!token || !headerSafe(*token))
        return failure(claudeTexts.noCredential);
    return fetch(claudeTexts, Endpoint::AnthropicApi, QStringLiteral("/api/oauth/usage"),
                 {{"Authorization", bearer(*token)},
                  {"Accept", "application/json"},
                  {"anthropic-beta", "oauth-2025-04-20"},
                  {"User-Agent", "claude-code/2.1.0"}},
                 parseClaudeUsage, clock);
}

ProviderUsage QuotaEndpoints::fetchCodex(const Clock& clock) {
    const auto credentials = Credentials::codexCredentials();
    if (!credentials || !headerSafe(credentials->accessToken))
        return failure(codexTexts.noCredential);
    HttpHeaders headers{{"Authorization", bearer(credentials->accessToken)},
                        {"Accept", "application/json"},
                        {"User-Agent", "GlimmetBridge"}};
    if (credentials->accountId && headerSafe(*credentials->accountId))
        headers.append({"ChatGPT-Account-Id", credentials->accountId->toLatin1()});
    return fetch(codexTexts, Endpoint::Chatgpt, QStringLiteral("/backend-api/wham/usage"), std::move(headers),
                 parseCodexUsage, clock);
}

ProviderUsage QuotaEndpoints::fetchGrok(const Clock& clock) {
    const auto token = Credentials::grokAccessToken(clock.now());
    if (!token || !headerSafe(*token))
        return failure(grokTexts.noCredential);
    return fetch(grokTexts, Endpoint::GrokCliProxy, QStringLiteral("/v1/billing?format=credits"),
                 {{"Authorization", bearer(*token)},
                  {"x-xai-token-auth", "xai-grok-cli"},
                  {"Accept", "application/json"},
                  {"User-Agent", "GlimmetBridge"}},
                 parseGrokUsage, clock);
}

ProviderUsage QuotaEndpoints::fetchKimi(const Clock& clock) {
    const auto credential = Credentials::kimiCredential(clock.now());
    if (!credential || !headerSafe(credential->token))
        return failure(kimiTexts.noCredential);
    return fetch(kimiTexts, Endpoint::KimiApi, QStringLiteral("/coding/v1/usages"),
                 {{"Authorization", bearer(credential->token)},
                  {"Accept", "application/json"},
                  {"User-Agent", "GlimmetBridge"},
                  {"X-Msh-Platform", "kimi_code_cli"},
                  {"X-Msh-Version", "GlimmetBridge"},
                  {"X-Msh-Device-Name", asciiHeaderValue(QSysInfo::machineHostName())},
                  {"X-Msh-Device-Model", asciiHeaderValue(deviceModel())},
                  {"X-Msh-Os-Version", asciiHeaderValue(QSysInfo::prettyProductName())},
                  {"X-Msh-Device-Id", asciiHeaderValue(kimiDeviceID())}},
                 parseKimiUsage, clock);
}

std::optional<ProviderUsage> QuotaEndpoints::parseClaudeUsage(const QByteArray& body, double now) {
    const auto root = parseObject(body);
    if (!root)
        return std::nullopt;
    ProviderUsage usage;
    const QJsonObject fiveHour = root->value(QLatin1String("five_hour")).toObject();
    usage.primaryPct = jsonNumber(fiveHour.value(QLatin1String("utilization")));
    usage.primaryResetMin = minutesUntilIsoMember(fiveHour, QLatin1String("resets_at"), now);
    const QJsonObject sevenDay = root->value(QLatin1String("seven_day")).toObject();
    usage.weeklyPct = jsonNumber(sevenDay.value(QLatin1String("utilization")));
    usage.weeklyResetMin = minutesUntilIsoMember(sevenDay, QLatin1String("resets_at"), now);
    for (const QJsonValue& entry : root->value(QLatin1String("limits")).toArray()) {
        const QJsonObject limit = entry.toObject();
        if (!isFableWeeklyLimit(limit))
            continue;
        usage.fablePct = number(limit.value(QLatin1String("percent")));
        usage.fableResetMin = minutesUntilIsoMember(limit, QLatin1String("resets_at"), now);
        break;
    }
    usage.fetchedAt = now;
    return usage;
}

std::optional<ProviderUsage> QuotaEndpoints::parseCodexUsage(const QByteArray& body, double now) {
    const auto root = parseObject(body);
    if (!root)
        return std::nullopt;
    const QJsonValue rateLimit = root->value(QLatin1String("rate_limit"));
    if (!rateLimit.isObject())
        return std::nullopt;
    ProviderUsage usage;
    if (const auto window = codexWeeklyWindow(rateLimit.toObject())) {
        usage.weeklyPct = window->usedPercent;
        if (window->resetsAt) {
            const auto minutes = truncatedInteger((*window->resetsAt - now) / 60);
            usage.weeklyResetMin = std::max<std::int64_t>(0, minutes.value_or(0));
        }
    }
    usage.fetchedAt = now;
    return usage;
}

std::optional<ProviderUsage> QuotaEndpoints::parseGrokUsage(const QByteArray& body, double now) {
    const auto root = parseObject(body);
    if (!root)
        return std::nullopt;
    const QJsonObject config = root->value(QLatin1String("config")).toObject();
    const auto pct = number(config.value(QLatin1String("creditUsagePercent")));
    if (!pct)
        return std::nullopt;
    const QJsonValue period = config.value(QLatin1String("currentPeriod"));
    const QJsonValue type = period.toObject().value(QLatin1String("type"));
    if (period.isObject() && type.isString() && type.toString() != QLatin1String("USAGE_PERIOD_TYPE_WEEKLY"))
        return std::nullopt;
    ProviderUsage usage;
    usage.weeklyPct = pct;
    usage.weeklyResetMin = UsageFetcher::minutesUntil(config.value(QLatin1String("billingPeriodEnd")), now);
    usage.fetchedAt = now;
    return usage;
}

std::optional<ProviderUsage> QuotaEndpoints::parseKimiUsage(const QByteArray& body, double now) {
    const auto root = parseObject(body);
    if (!root)
        return std::nullopt;
    const QJsonValue overall = root->value(QLatin1String("usage"));
    if (!overall.isObject())
        return std::nullopt;
    const auto weekly = percent(overall.toObject());
    if (!weekly)
        return std::nullopt;
    ProviderUsage usage;
    usage.weeklyPct = weekly;
    usage.weeklyResetMin = minutesUntilReset(overall.toObject(), now);
    const QJsonArray limits = root->value(QLatin1String("limits")).toArray();
    const auto fiveHour = std::find_if(limits.begin(), limits.end(), [](const QJsonValue& limit) {
        return isFiveHourWindow(limit.toObject().value(QLatin1String("window")).toObject());
    });
    if (fiveHour != limits.end()) {
        const QJsonValue detail = (*fiveHour).toObject().value(QLatin1String("detail"));
        if (detail.isObject()) {
            usage.primaryPct = percent(detail.toObject());
            usage.primaryResetMin = minutesUntilReset(detail.toObject(), now);
        }
    }
    usage.fetchedAt = now;
    return usage;
}

std::optional<double> QuotaEndpoints::percent(const QJsonObject& detail) {
    const auto limit = number(detail.value(QLatin1String("limit")));
    if (!limit || *limit <= 0)
        return std::nullopt;
    double p = 0;
    if (const auto used = number(detail.value(QLatin1String("used"))))
        p = *used / *limit * 100;
    else if (const auto remaining = number(detail.value(QLatin1String("remaining"))))
        p = (*limit - *remaining) / *limit * 100;
    else
        return std::nullopt;
    return std::clamp(p, 0.0, 100.0);
}

std::optional<QJsonValue> QuotaEndpoints::resetValue(const QJsonObject& object) {
    for (const char* key : {"resetTime", "resetAt", "reset_time", "reset_at"}) {
        if (const auto found = object.constFind(QLatin1String(key)); found != object.constEnd())
            return *found;
    }
    return std::nullopt;
}

QByteArray QuotaEndpoints::asciiHeaderValue(const QString& text) {
    QByteArray kept;
    kept.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() <= 0x7e)
            kept.append(char(c.unicode()));
    }
    kept = kept.trimmed();
    return kept.isEmpty() ? QByteArrayLiteral("unknown") : kept;
}

QString QuotaEndpoints::kimiDeviceID() {
    const QString folder = QDir::homePath() + QStringLiteral("/.kimi-code");
    const QString path = folder + QStringLiteral("/device_id");
    if (QFile file(path); file.open(QIODevice::ReadOnly)) {
        const QString stored = QString::fromUtf8(file.readAll()).trimmed();
        if (!stored.isEmpty())
            return stored;
    }
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    // A failure to store the id only means that the next request makes another one.
    if (!QFileInfo::exists(folder))
        QDir().mkdir(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(id.toUtf8()) == id.toUtf8().size() && file.commit())
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return id;
}

} // namespace glimmet
