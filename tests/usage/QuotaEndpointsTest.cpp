#include "usage/QuotaEndpoints.h"

#include "usage/UsageTestFixture.h"

#include <QTcpServer>

using namespace glimmet;
using namespace glimmet::test;

namespace {

TEST_F(QuotaEndpointsTest, EachAnswerOfEachProvider) {
    const QByteArray common = "Accept: application/json\nUser-Agent: GlimmetBridge";
    const struct {
        Fetch fetch;
        QString target;
        QByteArray headers;
    } wire[] = {
        {QuotaEndpoints::fetchClaude, claudePath,
         "Authorization: Bearer claude-token\nAccept: application/json\nanthropic-beta: oauth-2025-04-20\n"
         "User-Agent: claude-code/2.1.0"},
        {QuotaEndpoints::fetchCodex, codexPath,
         "Authorization: Bearer codex-token\n" + common + "\nChatGPT-Account-Id: acct-7"},
        {QuotaEndpoints::fetchGrok, grokPath + "?format=credits",
         "Authorization: Bearer grok-token\nx-xai-token-auth: xai-grok-cli\n" + common},
        {QuotaEndpoints::fetchKimi, kimiPath,
         "Authorization: Bearer kimi-token\n" + common +
             "\nX-Msh-Platform: kimi_code_cli\nX-Msh-Version: GlimmetBridge\nX-Msh-Device-Name: " +
             QSysInfo::machineHostName().toLatin1() + // plain ASCII on machines that run this
             "\nX-Msh-Device-Model: Linux\nX-Msh-Os-Version: " + QSysInfo::prettyProductName().toLatin1() +
             "\nX-Msh-Device-Id: kimi-device-7"},
    };
    home.write(".kimi-code/device_id", "kimi-device-7\n");
    enum { Claude, Codex, Grok, Kimi };
    // Times relative to now, 2026-05-28T20:26:40Z (1780000000). Fable: the first weekly_scoped
    // limit (any case) whose model name contains "fable" (any case).
    const QByteArray claudeAll = R"({"five_hour":{"utilization":42.5,"resets_at":"2026-05-28T21:57:10Z"},
        "seven_day":{"utilization":10,"resets_at":"2026-05-31T20:27:39.500Z"},"limits":[
        {"kind":"daily","percent":1,"scope":{"model":{"display_name":"fable"}}},{"kind":"weekly_scoped","percent":2},
        {"kind":"Weekly_Scoped","percent":"33.5","scope":{"model":{"display_name":"My fAbLe 4"}},
         "resets_at":"2026-05-28T20:16:40Z"},
        {"kind":"weekly_scoped","percent":9,"scope":{"model":{"display_name":"fable"}}}]})";
    const QByteArray kimiAll =
        R"({"usage":{"limit":"100","remaining":"25","resetTime":"2026-05-29T20:26:40Z","reset_at":1},
        "limits":[{"window":{"duration":300,"timeUnit":"TIME_UNIT_MINUTE"},
                   "detail":{"limit":50,"used":10,"remaining":0,"reset_at":1780001800}}]})";
    const QByteArray
        codexWeekly = R"({"rate_limit":{"secondary":{"used_percent":55.5,"resets_at":1780003659.5}}})",
        codexPast = R"({"rate_limit":{"secondary":{"used_percent":3,"resets_at":1779999999}}})",
        grokMillis = R"({"config":{"creditUsagePercent":"12.5","billingPeriodEnd":1780007200000,
                         "currentPeriod":{"type":"USAGE_PERIOD_TYPE_WEEKLY"}}})",
        grokIso = R"({"config":{"creditUsagePercent":1,"billingPeriodEnd":"2026-05-28T20:36:40Z"}})",
        grokMonthly =
            R"({"config":{"creditUsagePercent":2,"currentPeriod":{"type":"USAGE_PERIOD_TYPE_MONTHLY"}}})";
    const auto window = [](const QByteArray& duration, const QByteArray& unit) {
        return R"({"usage":{"limit":100,"used":1},"limits":[{"window":{"duration":)" + duration +
               R"(,"timeUnit":"TIME_UNIT_)" + unit + R"("},"detail":{"limit":10,"used":4}}]})";
    };
    const U claudeBad = failed("Claude 用量响应解析失败"), codexBad = failed("Codex 用量响应解析失败"),
            grokBad = failed("Grok 周额度响应解析失败"), kimiBad = failed("Kimi Code 用量响应解析失败");
    // Records without an error also carry fetchedAt = now.
    const struct {
        int provider, status;
        QByteArray body;
        U expected;
    } cases[] = {
        {Claude, 200, claudeAll, {42.5, 90, 10, 4320, 33.5, 0}},
        {Claude, 200, "{}", {}},
        {Claude, 200, "{\"five_hour\":", claudeBad},
        {Claude, 204, "", failed("Claude 用量接口 HTTP 204")},
        {Claude, 401, "{}", failed("Claude 凭据过期，运行 claude 重新登录")},
        {Claude, 403, "{}", failed("Claude 用量接口 HTTP 403")},
        {Claude, 429, "{}", failed("Claude 用量接口限流，稍后自动重试", true)},
        {Codex, 200, codexWeekly, {.weeklyPct = 55.5, .weeklyResetMin = 60}},
        {Codex, 201, codexPast, {.weeklyPct = 3, .weeklyResetMin = 0}},
        {Codex, 200, R"({"rate_limit":{}})", {}},
        {Codex, 200, R"({"rate_limit":5})", codexBad},
        {Codex, 204, "", codexBad},
        {Codex, 401, "{}", failed("Codex 凭据过期，运行 codex 重新登录")},
        {Codex, 403, "{}", failed("Codex 凭据过期，运行 codex 重新登录")},
        {Codex, 429, "{}", failed("Codex 用量接口 HTTP 429")}, // never rate limited
        {Grok, 200, grokMillis, {.weeklyPct = 12.5, .weeklyResetMin = 120}},
        {Grok, 200, grokIso, {.weeklyPct = 1, .weeklyResetMin = 10}},
        {Grok, 200, grokMonthly, grokBad},
        {Grok, 200, R"({"config":{"creditUsagePercent":"12%"}})", grokBad},
        {Grok, 200, "{config", grokBad},
        {Grok, 204, "", failed("Grok 用量接口 HTTP 204")},
        {Grok, 401, "{}", failed("Grok 凭据过期，请重新登录 Grok/Pi")},
        {Grok, 403, "{}", failed("Grok 凭据过期，请重新登录 Grok/Pi")},
        {Grok, 429, "{}", failed("Grok 用量接口限流，稍后自动重试", true)},
        {Kimi, 200, kimiAll, {20, 30, 75, 1440}},
        {Kimi, 200, R"({"usage":{"limit":0,"used":0}})", kimiBad},
        {Kimi, 200, R"({"usage":{"limit":100,"used":130}})", {.weeklyPct = 100}},
        {Kimi, 200, window("5", "HOUR"), {.primaryPct = 40, .weeklyPct = 1}},
        {Kimi, 200, window("5", "MINUTE"), {.weeklyPct = 1}},
        {Kimi, 200, window("1e300", "HOUR"), {.weeklyPct = 1}}, // beyond 64 bits
        {Kimi, 200, "{\"usage\":{", kimiBad},
        {Kimi, 204, "", failed("Kimi Code 用量接口 HTTP 204")},
        {Kimi, 401, "{}", failed("Kimi Code 凭据无效或过期")},
        {Kimi, 403, "{}", failed("Kimi Code 凭据无效或过期")},
        {Kimi, 429, "{}", failed("Kimi Code 用量接口限流，稍后自动重试", true)},
    };
    for (const auto& c : cases) {
        const auto& w = wire[c.provider];
        const QString path = w.target.section('?', 0, 0);
        const std::string name = path.toStdString() + ' ' + std::to_string(c.status) + ' ' + c.body.data();
        U expected = c.expected;
        if (!expected.error)
            expected.fetchedAt = now;
        fake.setResponse(path, FakeResponse{c.status, c.body, {{"Content-Type", "application/json"}}});
        const qsizetype before = fake.requests(path).size();
        EXPECT_EQ(w.fetch(*clock), expected) << name;
        const auto seen = fake.requests(path);
        ASSERT_EQ(seen.size(), before + 1) << name;
        EXPECT_EQ(seen.last().method + ' ' + seen.last().target, "GET " + w.target) << name;
        EXPECT_EQ(sentHeaders(seen.last()), w.headers) << name;
    }
    home.write(".codex/auth.json", R"({"tokens":{"access_token":"t","id_token":"h.!!!.s"}})");
    QuotaEndpoints::fetchCodex(*clock);
    EXPECT_EQ(sentHeaders(fake.requests(codexPath).last()), "Authorization: Bearer t\n" + common);
}

TEST_F(QuotaEndpointsTest, NoAnswerOrNoUsableCredentialIsAnError) {
    const struct {
        Fetch fetch;
        const char *noAnswer, *noCredential;
    } cases[] = {
        {QuotaEndpoints::fetchClaude, "Claude 用量请求失败", "未找到 Claude Code 登录凭据"},
        {QuotaEndpoints::fetchCodex, "Codex 用量请求失败", "未找到 Codex 登录凭据 (~/.codex/auth.json)"},
        {QuotaEndpoints::fetchGrok, "Grok 用量请求失败",
         "未找到 Grok/Pi 登录凭据，请运行 grok login 或在 Pi 登录 xAI"},
        {QuotaEndpoints::fetchKimi, "Kimi Code 用量请求失败", "未找到 Kimi Code 登录凭据或 API Key"},
    };
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    pointQuotaEndpointsAt(QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort()));
    closed.close();
    for (const auto& c : cases)
        EXPECT_EQ(c.fetch(*clock), failed(c.noAnswer)) << c.noAnswer;

    TempHome empty;
    pointQuotaEndpointsAt(fake.baseUrl());
    for (const auto& c : cases)
        EXPECT_EQ(c.fetch(*clock), failed(c.noCredential)) << c.noCredential;
    // A token with a line break would split the request's headers: it is not used.
    empty.write(".claude/.credentials.json", R"({"claudeAiOauth":{"accessToken":"t\r\nX-Injected: 1"}})");
    EXPECT_EQ(QuotaEndpoints::fetchClaude(*clock), failed("未找到 Claude Code 登录凭据"));
    EXPECT_TRUE(fake.requests().isEmpty());
}

TEST(AsciiHeaderValue, KeepsPrintableAsciiOnly) {
    const std::pair<QString, QByteArray> cases[] = {
        {"  padded\t name \r\n", "padded name"},
        {"王的电脑", "unknown"},
        {"", "unknown"},
        {"Mac\u00e9-Pro~", "Mac-Pro~"},
        {QString("a%1b%2c").arg(QChar(0)).arg(QChar(0x7f)), "abc"}};
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(QuotaEndpoints::asciiHeaderValue(text), expected) << text.toStdString();
}

TEST(KimiDeviceId, IsCreatedOnceWithPrivatePermissionsAndReused) {
    TempHome home;
    const auto mode = [&](const char* relative) {
        struct stat info {};
        ::stat(QFile::encodeName(home.path() + relative).constData(), &info);
        return info.st_mode & 0777;
    };
    const QString id = QuotaEndpoints::kimiDeviceID();
    EXPECT_EQ(id, QUuid(id).toString(QUuid::WithoutBraces)) << "a UUID in lower case";
    EXPECT_EQ(mode("/.kimi-code"), 0700u);
    EXPECT_EQ(mode("/.kimi-code/device_id"), 0600u);
    EXPECT_EQ(QuotaEndpoints::kimiDeviceID(), id);
    home.write(".kimi-code/device_id", "  Existing-Id\n");
    EXPECT_EQ(QuotaEndpoints::kimiDeviceID(), "Existing-Id");
    home.write(".kimi-code/device_id", " \n");
    EXPECT_NE(QuotaEndpoints::kimiDeviceID(), id) << "a blank file gets a new id";
}

} // namespace
