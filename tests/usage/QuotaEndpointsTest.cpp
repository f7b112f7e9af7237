#include "usage/QuotaEndpoints.h"

#include "support/FakeClock.h"
#include "support/TempHome.h"
#include "usage/UsageTestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

constexpr double now = 1'780'000'000.0;

ProviderUsage failed(const QString& text, bool rateLimited = false) {
    ProviderUsage usage;
    usage.error = text;
    usage.rateLimited = rateLimited;
    return usage;
}

ProviderUsage fetched() {
    ProviderUsage usage;
    usage.fetchedAt = now;
    return usage;
}

// The permission bits of a file.
unsigned mode(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 0777 : 0;
}

struct EndpointCase {
    const char* name;
    int status;
    QByteArray body;
    ProviderUsage expected;
};

class QuotaEndpointsTest : public testing::Test {
protected:
    TempHome home;
    FakeHttpServer fake;
    FakeClock clock{now};

    void SetUp() override {
        pointQuotaEndpointsAt(fake.baseUrl());
        home.write(".claude/.credentials.json", R"({"claudeAiOauth":{"accessToken":"claude-token"}})");
        home.write(".codex/auth.json", R"({"tokens":{"access_token":"codex-token","account_id":"acct-7"}})");
        home.write(".grok/auth.json", R"({"https://auth.x.ai::me":{"key":"grok-token"}})");
        home.write(".kimi-code/credentials/kimi-code.json", R"({"access_token":"kimi-token"})");
    }

    // Serves `c` on `path`, runs `fetch` and checks the record; returns the one request.
    RecordedRequest run(const EndpointCase& c, const QString& path, ProviderUsage (*fetch)(const Clock&)) {
        fake.setResponse(path, FakeResponse{c.status, c.body, {{"Content-Type", "application/json"}}});
        const qsizetype before = fake.requests(path).size();
        EXPECT_EQ(fetch(clock), c.expected) << c.name;
        const auto seen = fake.requests(path);
        EXPECT_EQ(seen.size(), before + 1) << c.name;
        return seen.isEmpty() ? RecordedRequest{} : seen.last();
    }
};

TEST_F(QuotaEndpointsTest, ClaudeAnswers) {
    ProviderUsage full = fetched();
    full.primaryPct = 42.5;
    full.primaryResetMin = 90;
    full.weeklyPct = 10;
    full.weeklyResetMin = 3 * 24 * 60;
    full.fablePct = 33.5;
    full.fableResetMin = 0;
    const QByteArray fullBody =
        QStringLiteral(R"({
        "five_hour": {"utilization": 42.5, "resets_at": "%1"},
        "seven_day": {"utilization": 10, "resets_at": "%2"},
        "limits": [
            {"kind": "weekly_scoped", "scope": {"model": {"display_name": "Opus"}}, "percent": 1},
            {"kind": "WEEKLY_SCOPED", "scope": {"model": {"display_name": "Claude FABLE 4"}},
             "percent": "33.5", "resets_at": "%3"},
            {"kind": "weekly_scoped", "scope": {"model": {"display_name": "fable"}}, "percent": 99}
        ]})")
            .arg(isoAt(now + 90 * 60 + 30), isoAt(now + 3 * 86400 + 59.5, true), isoAt(now - 600))
            .toUtf8();

    const EndpointCase cases[] = {
        {"200 with data", 200, fullBody, full},
        {"200 without percentages", 200, "{}", fetched()},
        {"204 empty", 204, "", failed("Claude 用量接口 HTTP 204")},
        {"401", 401, "{}", failed("Claude 凭据过期，运行 claude 重新登录")},
        {"403 is a plain HTTP error", 403, "{}", failed("Claude 用量接口 HTTP 403")},
        {"429", 429, "{}", failed("Claude 用量接口限流，稍后自动重试", true)},
        {"500", 500, "oops", failed("Claude 用量接口 HTTP 500")},
        {"malformed", 200, "{\"five_hour\":", failed("Claude 用量响应解析失败")},
        {"not an object", 200, "[1,2]", failed("Claude 用量响应解析失败")},
    };
    for (const auto& c : cases) {
        const RecordedRequest request = run(c, claudePath, QuotaEndpoints::fetchClaude);
        EXPECT_EQ(request.method, "GET") << c.name;
        EXPECT_EQ(request.target, claudePath) << c.name;
        EXPECT_EQ(sentHeaders(request, {"Authorization", "Accept", "anthropic-beta", "User-Agent"}),
                  (HttpHeaders{{"Authorization", "Bearer claude-token"},
                               {"Accept", "application/json"},
                               {"anthropic-beta", "oauth-2025-04-20"},
                               {"User-Agent", "claude-code/2.1.0"}}))
            << c.name;
    }
}

TEST_F(QuotaEndpointsTest, CodexAnswers) {
    ProviderUsage weekly = fetched();
    weekly.weeklyPct = 55.5;
    weekly.weeklyResetMin = 60;
    const QByteArray weeklyBody = QStringLiteral(R"({"rate_limit": {
        "primary_window": {"used_percent": 12, "window_minutes": 300, "resets_at": %1},
        "secondary_window": {"used_percent": 55.5, "window_minutes": 10080, "resets_at": %2}}})")
                                      .arg(qint64(now + 600))
                                      .arg(now + 3659.5, 0, 'f', 1)
                                      .toUtf8();
    ProviderUsage pastReset = fetched();
    pastReset.weeklyPct = 3;
    pastReset.weeklyResetMin = 0;

    const EndpointCase cases[] = {
        {"200 with data", 200, weeklyBody, weekly},
        {"201 counts as success", 201,
         QStringLiteral(R"({"rate_limit":{"secondary":{"used_percent":3,"resets_at":%1}}})")
             .arg(qint64(now - 120))
             .toUtf8(),
         pastReset},
        {"200 without a window", 200, R"({"rate_limit":{}})", fetched()},
        {"204 empty is not JSON", 204, "", failed("Codex 用量响应解析失败")},
        {"401", 401, "{}", failed("Codex 凭据过期，运行 codex 重新登录")},
        {"403", 403, "{}", failed("Codex 凭据过期，运行 codex 重新登录")},
        {"429 is never rate limited", 429, "{}", failed("Codex 用量接口 HTTP 429")},
        {"500", 500, "{}", failed("Codex 用量接口 HTTP 500")},
        {"malformed", 200, "{\"rate_limit\"", failed("Codex 用量响应解析失败")},
        {"rate_limit not an object", 200, R"({"rate_limit":5})", failed("Codex 用量响应解析失败")},
        {"no rate_limit", 200, R"({"plan":"plus"})", failed("Codex 用量响应解析失败")},
    };
    for (const auto& c : cases) {
        const RecordedRequest request = run(c, codexPath, QuotaEndpoints::fetchCodex);
        EXPECT_EQ(request.method, "GET") << c.name;
        EXPECT_EQ(request.target, codexPath) << c.name;
        EXPECT_EQ(sentHeaders(request, {"Authorization", "Accept", "User-Agent", "ChatGPT-Account-Id"}),
                  (HttpHeaders{{"Authorization", "Bearer codex-token"},
                               {"Accept", "application/json"},
                               {"User-Agent", "GlimmetBridge"},
                               {"ChatGPT-Account-Id", "acct-7"}}))
            << c.name;
    }
}

TEST_F(QuotaEndpointsTest, CodexSendsTheAccountIdOnlyWhenOneIsFound) {
    const QByteArray payload =
        QByteArray(R"({"https://api.openai.com/auth":{"chatgpt_account_id":"from-jwt"}})")
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    const struct {
        const char* name;
        QByteArray file;
        QByteArray header; // empty: no header
    } cases[] = {
        {"account_id", R"({"tokens":{"access_token":"t","account_id":"acct-1","id_token":"x.e30.y"}})",
         "acct-1"},
        {"id_token", R"({"tokens":{"access_token":"t","id_token":"h.)" + payload + R"(.s"}})", "from-jwt"},
        {"neither", R"({"tokens":{"access_token":"t"}})", ""},
        {"undecodable id_token", R"({"tokens":{"access_token":"t","id_token":"h.!!!.s"}})", ""},
    };
    fake.setJson(codexPath, R"({"rate_limit":{}})");
    for (const auto& c : cases) {
        home.write(".codex/auth.json", c.file);
        EXPECT_FALSE(QuotaEndpoints::fetchCodex(clock).error) << c.name;
        const auto sent = sentHeaders(fake.requests(codexPath).last(), {"ChatGPT-Account-Id"});
        const HttpHeaders expected =
            c.header.isEmpty() ? HttpHeaders{} : HttpHeaders{{"ChatGPT-Account-Id", c.header}};
        EXPECT_EQ(sent, expected) << c.name;
    }
}

TEST_F(QuotaEndpointsTest, GrokAnswers) {
    ProviderUsage weekly = fetched();
    weekly.weeklyPct = 12.5;
    weekly.weeklyResetMin = 120;
    const QByteArray weeklyBody = QStringLiteral(R"({"config": {"creditUsagePercent": "12.5",
        "currentPeriod": {"type": "USAGE_PERIOD_TYPE_WEEKLY"}, "billingPeriodEnd": %1}})")
                                      .arg(qint64((now + 7200) * 1000))
                                      .toUtf8();
    const EndpointCase cases[] = {
        {"200 with data", 200, weeklyBody, weekly},
        {"200 without a percentage", 200, R"({"config":{}})", failed("Grok 周额度响应解析失败")},
        {"monthly period", 200,
         R"({"config":{"creditUsagePercent":5,"currentPeriod":{"type":"USAGE_PERIOD_TYPE_MONTHLY"}}})",
         failed("Grok 周额度响应解析失败")},
        {"204 empty", 204, "", failed("Grok 用量接口 HTTP 204")},
        {"401", 401, "{}", failed("Grok 凭据过期，请重新登录 Grok/Pi")},
        {"403", 403, "{}", failed("Grok 凭据过期，请重新登录 Grok/Pi")},
        {"429", 429, "{}", failed("Grok 用量接口限流，稍后自动重试", true)},
        {"500", 500, "{}", failed("Grok 用量接口 HTTP 500")},
        {"malformed", 200, "{config", failed("Grok 周额度响应解析失败")},
    };
    for (const auto& c : cases) {
        const RecordedRequest request = run(c, grokPath, QuotaEndpoints::fetchGrok);
        EXPECT_EQ(request.method, "GET") << c.name;
        EXPECT_EQ(request.target, "/v1/billing?format=credits") << c.name;
        EXPECT_EQ(sentHeaders(request, {"Authorization", "x-xai-token-auth", "Accept", "User-Agent"}),
                  (HttpHeaders{{"Authorization", "Bearer grok-token"},
                               {"x-xai-token-auth", "xai-grok-cli"},
                               {"Accept", "application/json"},
                               {"User-Agent", "GlimmetBridge"}}))
            << c.name;
    }
}

TEST_F(QuotaEndpointsTest, KimiAnswers) {
    ProviderUsage both = fetched();
    both.weeklyPct = 75;
    both.weeklyResetMin = 1440;
    both.primaryPct = 20;
    both.primaryResetMin = 30;
    const QByteArray bothBody = QStringLiteral(R"({
        "usage": {"limit": "100", "remaining": "25", "resetTime": "%1"},
        "limits": [{"window": {"duration": 300, "timeUnit": "TIME_UNIT_MINUTE"},
                    "detail": {"limit": 50, "used": 10, "reset_at": %2}}]})")
                                    .arg(isoAt(now + 86400))
                                    .arg(qint64(now + 1800))
                                    .toUtf8();
    const EndpointCase cases[] = {
        {"200 with data", 200, bothBody, both},
        {"200 with limit 0", 200, R"({"usage":{"limit":0,"used":0}})", failed("Kimi Code 用量响应解析失败")},
        {"204 empty", 204, "", failed("Kimi Code 用量接口 HTTP 204")},
        {"401", 401, "{}", failed("Kimi Code 凭据无效或过期")},
        {"403", 403, "{}", failed("Kimi Code 凭据无效或过期")},
        {"429", 429, "{}", failed("Kimi Code 用量接口限流，稍后自动重试", true)},
        {"500", 500, "{}", failed("Kimi Code 用量接口 HTTP 500")},
        {"malformed", 200, "{\"usage\":{", failed("Kimi Code 用量响应解析失败")},
    };
    for (const auto& c : cases) {
        const RecordedRequest request = run(c, kimiPath, QuotaEndpoints::fetchKimi);
        EXPECT_EQ(request.method, "GET") << c.name;
        EXPECT_EQ(request.target, kimiPath) << c.name;
        QFile idFile(home.path() + "/.kimi-code/device_id");
        ASSERT_TRUE(idFile.open(QIODevice::ReadOnly)) << "the first request creates the device id";
        const QByteArray deviceId = idFile.readAll();
        EXPECT_EQ(sentHeaders(request, {"Authorization", "Accept", "User-Agent", "X-Msh-Platform",
                                        "X-Msh-Version", "X-Msh-Device-Name", "X-Msh-Device-Model",
                                        "X-Msh-Os-Version", "X-Msh-Device-Id"}),
                  (HttpHeaders{
                      {"Authorization", "Bearer kimi-token"},
                      {"Accept", "application/json"},
                      {"User-Agent", "GlimmetBridge"},
                      {"X-Msh-Platform", "kimi_code_cli"},
                      {"X-Msh-Version", "GlimmetBridge"},
                      {"X-Msh-Device-Name", QuotaEndpoints::asciiHeaderValue(QSysInfo::machineHostName())},
                      {"X-Msh-Device-Model", "Linux"},
                      {"X-Msh-Os-Version", QuotaEndpoints::asciiHeaderValue(QSysInfo::prettyProductName())},
                      {"X-Msh-Device-Id", deviceId}}))
            << c.name;
    }
}

TEST_F(QuotaEndpointsTest, MissingOrUnusableCredentialSendsNothing) {
    TempHome empty;
    pointQuotaEndpointsAt(fake.baseUrl());
    const struct {
        const char* name;
        ProviderUsage (*fetch)(const Clock&);
        QString error;
    } cases[] = {
        {"claude", QuotaEndpoints::fetchClaude, "未找到 Claude Code 登录凭据"},
        {"codex", QuotaEndpoints::fetchCodex, "未找到 Codex 登录凭据 (~/.codex/auth.json)"},
        {"grok", QuotaEndpoints::fetchGrok, "未找到 Grok/Pi 登录凭据，请运行 grok login 或在 Pi 登录 xAI"},
        {"kimi", QuotaEndpoints::fetchKimi, "未找到 Kimi Code 登录凭据或 API Key"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.fetch(clock), failed(c.error)) << c.name;

    // A token with a line break would split the request's headers: it is not used.
    empty.write(".claude/.credentials.json", R"({"claudeAiOauth":{"accessToken":"t\r\nX-Injected: 1"}})");
    EXPECT_EQ(QuotaEndpoints::fetchClaude(clock), failed("未找到 Claude Code 登录凭据"));
    EXPECT_TRUE(fake.requests().isEmpty());
}

TEST_F(QuotaEndpointsTest, NoAnswerIsARequestFailure) {
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();
    pointQuotaEndpointsAt(QStringLiteral("http://127.0.0.1:%1").arg(port));
    const struct {
        const char* name;
        ProviderUsage (*fetch)(const Clock&);
        QString error;
    } cases[] = {
        {"claude", QuotaEndpoints::fetchClaude, "Claude 用量请求失败"},
        {"codex", QuotaEndpoints::fetchCodex, "Codex 用量请求失败"},
        {"grok", QuotaEndpoints::fetchGrok, "Grok 用量请求失败"},
        {"kimi", QuotaEndpoints::fetchKimi, "Kimi Code 用量请求失败"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.fetch(clock), failed(c.error)) << c.name;
}

TEST(ClaudeUsageParser, ReadsWindowsAndTheFableLimit) {
    const auto limit = [](const char* kind, const char* modelPart, const char* percent) {
        return QStringLiteral(R"({"kind":"%1","scope":{"model":%2},"percent":%3})")
            .arg(kind, modelPart, percent);
    };
    const struct {
        const char* name;
        QString body;
        std::optional<double> primary, weekly, fable;
        std::optional<std::int64_t> primaryReset, fableReset;
    } cases[] = {
        {"five_hour only",
         QStringLiteral(R"({"five_hour":{"utilization":7,"resets_at":"%1"}})").arg(isoAt(now + 61)),
         7,
         {},
         {},
         1,
         {}},
        {"utilization as a string",
         R"({"five_hour":{"utilization":"7"},"seven_day":{"utilization":8}})",
         {},
         8,
         {},
         {},
         {}},
        {"reset in the past",
         QStringLiteral(R"({"five_hour":{"utilization":1,"resets_at":"%1"}})").arg(isoAt(now - 1)),
         1,
         {},
         {},
         0,
         {}},
        {"unparsable reset", R"({"five_hour":{"utilization":1,"resets_at":"soon"}})", 1, {}, {}, {}, {}},
        {"malformed members", R"({"five_hour":[],"seven_day":"x","limits":{}})", {}, {}, {}, {}, {}},
        {"first fable limit wins",
         "{\"limits\":[" + limit("weekly_scoped", R"({"display_name":"Sonnet"})", "5") + "," +
             limit("Weekly_Scoped", R"({"display_name":"My fAbLe"})", "\"6.5\"") + "," +
             limit("weekly_scoped", R"({"display_name":"fable"})", "9") + "]}",
         {},
         {},
         6.5,
         {},
         {}},
        {"other kinds and broken scopes are skipped",
         "{\"limits\":[" + limit("daily", R"({"display_name":"fable"})", "1") + "," +
             R"({"kind":"weekly_scoped","scope":{"model":"fable"},"percent":2},)" +
             R"({"kind":"weekly_scoped","percent":3},)" +
             limit("weekly_scoped", R"({"display_name":7})", "4") + "," +
             limit("weekly_scoped", R"({"display_name":"Fable"})", "\"12%\"") + "]}",
         {},
         {},
         {},
         {},
         {}},
    };
    for (const auto& c : cases) {
        const auto usage = QuotaEndpoints::parseClaudeUsage(c.body.toUtf8(), now);
        ASSERT_TRUE(usage) << c.name;
        EXPECT_EQ(usage->primaryPct, c.primary) << c.name;
        EXPECT_EQ(usage->primaryResetMin, c.primaryReset) << c.name;
        EXPECT_EQ(usage->weeklyPct, c.weekly) << c.name;
        EXPECT_EQ(usage->fablePct, c.fable) << c.name;
        EXPECT_EQ(usage->fableResetMin, c.fableReset) << c.name;
        EXPECT_EQ(usage->fetchedAt, now) << c.name;
        EXPECT_FALSE(usage->error) << c.name;
    }
}

TEST(GrokUsageParser, ReadsTheWeeklyCreditPeriod) {
    const struct {
        const char* name;
        QString config;
        std::optional<double> pct;
        std::optional<std::int64_t> resetMin;
        bool parsed = true;
    } cases[] = {
        {"numeric string", R"({"creditUsagePercent":"12.5"})", 12.5, {}},
        {"end in milliseconds",
         QStringLiteral(R"({"creditUsagePercent":1,"billingPeriodEnd":%1})")
             .arg(qint64(now * 1000 + 600'000)),
         1, 10},
        {"end as ISO",
         QStringLiteral(R"({"creditUsagePercent":1,"billingPeriodEnd":"%1"})").arg(isoAt(now + 600, true)), 1,
         10},
        {"end unreadable", R"({"creditUsagePercent":1,"billingPeriodEnd":true})", 1, {}},
        {"weekly period",
         R"({"creditUsagePercent":2,"currentPeriod":{"type":"USAGE_PERIOD_TYPE_WEEKLY"}})",
         2,
         {}},
        {"period without a type", R"({"creditUsagePercent":2,"currentPeriod":{"type":3}})", 2, {}},
        {"period not an object", R"({"creditUsagePercent":2,"currentPeriod":"monthly"})", 2, {}},
        {"monthly period",
         R"({"creditUsagePercent":2,"currentPeriod":{"type":"USAGE_PERIOD_TYPE_MONTHLY"}})",
         {},
         {},
         false},
        {"percent sign", R"({"creditUsagePercent":"12%"})", {}, {}, false},
        {"no percent", R"({})", {}, {}, false},
    };
    for (const auto& c : cases) {
        const auto usage = QuotaEndpoints::parseGrokUsage(("{\"config\":" + c.config + "}").toUtf8(), now);
        ASSERT_EQ(usage.has_value(), c.parsed) << c.name;
        if (!usage)
            continue;
        ProviderUsage expected;
        expected.weeklyPct = c.pct;
        expected.weeklyResetMin = c.resetMin;
        expected.fetchedAt = now;
        EXPECT_EQ(*usage, expected) << c.name;
    }
    EXPECT_FALSE(QuotaEndpoints::parseGrokUsage(R"({"creditUsagePercent":5})", now)) << "not under config";
}

TEST(KimiUsageParser, ReadsTheOverallQuotaAndTheFiveHourWindow) {
    const auto withWindow = [](const QString& window, const QString& detail = R"({"limit":10,"used":4})") {
        return QStringLiteral(R"({"usage":{"limit":100,"used":1},"limits":[{"window":%1,"detail":%2}]})")
            .arg(window, detail);
    };
    const struct {
        const char* name;
        QString body;
        std::optional<double> weekly, primary;
        std::optional<std::int64_t> weeklyReset, primaryReset;
        bool parsed = true;
    } cases[] = {
        {"limit 0", R"({"usage":{"limit":0,"used":0}})", {}, {}, {}, {}, false},
        {"negative limit", R"({"usage":{"limit":-5,"used":0}})", {}, {}, {}, {}, false},
        {"neither used nor remaining", R"({"usage":{"limit":10}})", {}, {}, {}, {}, false},
        {"usage not an object", R"({"usage":[1]})", {}, {}, {}, {}, false},
        {"remaining", R"({"usage":{"limit":100,"remaining":25}})", 75, {}, {}, {}},
        {"used wins over remaining",
         R"({"usage":{"limit":"100","used":"10","remaining":0}})",
         10,
         {},
         {},
         {}},
        {"used over limit", R"({"usage":{"limit":100,"used":130}})", 100, {}, {}, {}},
        {"remaining over limit", R"({"usage":{"limit":100,"remaining":130}})", 0, {}, {}, {}},
        {"reset keys in order",
         QStringLiteral(R"({"usage":{"limit":1,"used":0,"reset_at":%1,"resetAt":"%2"}})")
             .arg(qint64(now + 6000))
             .arg(isoAt(now + 600)),
         0,
         {},
         10,
         {}},
        {"5 hours", withWindow(R"({"duration":5,"timeUnit":"TIME_UNIT_HOUR"})"), 1, 40, {}, {}},
        {"300 minutes", withWindow(R"({"duration":300.9,"timeUnit":"TIME_UNIT_MINUTE"})"), 1, 40, {}, {}},
        {"60 minutes", withWindow(R"({"duration":60,"timeUnit":"TIME_UNIT_MINUTE"})"), 1, {}, {}, {}},
        {"5 minutes", withWindow(R"({"duration":5,"timeUnit":"TIME_UNIT_MINUTE"})"), 1, {}, {}, {}},
        {"duration beyond 64 bits",
         withWindow(R"({"duration":1e300,"timeUnit":"TIME_UNIT_HOUR"})"),
         1,
         {},
         {},
         {}},
        {"duration below 64 bits",
         withWindow(R"({"duration":-1e300,"timeUnit":"TIME_UNIT_HOUR"})"),
         1,
         {},
         {},
         {}},
        {"unit missing", withWindow(R"({"duration":5})"), 1, {}, {}, {}},
        {"window detail with reset",
         withWindow(
             R"({"duration":5,"timeUnit":"TIME_UNIT_HOUR"})",
             QStringLiteral(R"({"limit":4,"remaining":1,"resetTime":%1})").arg(qint64(now * 1000 + 120'000))),
         1,
         75,
         {},
         2},
        {"window detail not an object",
         withWindow(R"({"duration":5,"timeUnit":"TIME_UNIT_HOUR"})", "7"),
         1,
         {},
         {},
         {}},
        {"first matching window wins",
         R"({"usage":{"limit":100,"used":1},"limits":[
             {"window":{"duration":60,"timeUnit":"TIME_UNIT_MINUTE"},"detail":{"limit":10,"used":1}},
             {"window":{"duration":5,"timeUnit":"TIME_UNIT_HOUR"},"detail":{"limit":10,"used":2}},
             {"window":{"duration":300,"timeUnit":"TIME_UNIT_MINUTE"},"detail":{"limit":10,"used":3}}]})",
         1,
         20,
         {},
         {}},
    };
    for (const auto& c : cases) {
        const auto usage = QuotaEndpoints::parseKimiUsage(c.body.toUtf8(), now);
        ASSERT_EQ(usage.has_value(), c.parsed) << c.name;
        if (!usage)
            continue;
        ProviderUsage expected;
        expected.weeklyPct = c.weekly;
        expected.weeklyResetMin = c.weeklyReset;
        expected.primaryPct = c.primary;
        expected.primaryResetMin = c.primaryReset;
        expected.fetchedAt = now;
        EXPECT_EQ(*usage, expected) << c.name;
    }
}

TEST(AsciiHeaderValue, KeepsPrintableAsciiOnly) {
    const struct {
        QString text;
        QByteArray expected;
    } cases[] = {
        {"my-laptop", "my-laptop"},
        {"  padded\t name \r\n", "padded name"},
        {"王的电脑", "unknown"},
        {"", "unknown"},
        {"   ", "unknown"},
        {"Mac\u00e9-Pro~", "Mac-Pro~"},
        {QString("a") + QChar(0) + "b" + QChar(0x7f) + "c", "abc"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(QuotaEndpoints::asciiHeaderValue(c.text), c.expected) << c.text.toStdString();
}

TEST(KimiDeviceId, IsCreatedOnceWithPrivatePermissionsAndReused) {
    TempHome home;
    const QString folder = home.path() + "/.kimi-code";
    const QString id = QuotaEndpoints::kimiDeviceID();
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
                    .match(id)
                    .hasMatch())
        << id.toStdString();
    EXPECT_EQ(mode(folder), 0700);
    EXPECT_EQ(mode(folder + "/device_id"), 0600);
    QFile file(folder + "/device_id");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), id.toUtf8());
    EXPECT_EQ(QuotaEndpoints::kimiDeviceID(), id);

    home.write(".kimi-code/device_id", "  Existing-Id\n");
    EXPECT_EQ(QuotaEndpoints::kimiDeviceID(), "Existing-Id");
    home.write(".kimi-code/device_id", " \n");
    EXPECT_NE(QuotaEndpoints::kimiDeviceID(), id) << "a blank file gets a new id";
}

} // namespace
