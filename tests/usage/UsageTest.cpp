#include "usage/Credentials.h"
#include "usage/QuotaEndpoints.h"
#include "usage/UsageFetcher.h"

#include "common/Endpoints.h"
#include "common/Log.h"
#include "status/StatusService.h"
#include "support/FakeClock.h"
#include "support/FakeHttpServer.h"
#include "support/TempHome.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSysInfo>
#include <QTcpServer>
#include <QThread>
#include <QThreadPool>
#include <QUuid>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace glimmet {

// Readable failure output for records compared whole.
void PrintTo(const ProviderUsage& u, std::ostream* os) {
    const auto n = [](const auto& v) { return v ? QString::number(*v) : QStringLiteral("-"); };
    *os << QStringList{n(u.primaryPct),     n(u.primaryResetMin),  n(u.weeklyPct),
                       n(u.weeklyResetMin), n(u.fablePct),         n(u.fableResetMin),
                       n(u.fetchedAt),      u.error.value_or("-"), u.rateLimited ? "limited" : ""}
               .join(' ')
               .toStdString();
}

} // namespace glimmet

using namespace glimmet;
using namespace glimmet::test;

namespace {

using U = ProviderUsage;
using Fetch = ProviderUsage (*)(const Clock&);

constexpr double now = 1'780'000'000.0; // FakeClock's default: 2026-05-28T20:26:40Z
const QString claudePath = "/api/oauth/usage", codexPath = "/backend-api/wham/usage",
              grokPath = "/v1/billing", kimiPath = "/coding/v1/usages";

void pointQuotaEndpointsAt(const QString& base) {
    for (Endpoint e : {Endpoint::AnthropicApi, Endpoint::Chatgpt, Endpoint::GrokCliProxy, Endpoint::KimiApi})
        Endpoints::setOverride(e, base);
}

U failed(const char* text, bool rateLimited = false) {
    return {.error = QString::fromUtf8(text), .rateLimited = rateLimited};
}

// The headers of `request` as "Name: value" lines in the order sent, without those Qt adds itself.
QByteArray sentHeaders(const RecordedRequest& request) {
    QByteArrayList lines;
    for (const auto& [name, value] : request.headers) {
        if (!QByteArrayList{"host", "connection", "accept-encoding", "accept-language"}.contains(
                name.toLower()))
            lines.append(name + ": " + value);
    }
    return lines.join('\n');
}

// Runs the main thread's events until `done` holds or the (generous) deadline passes.
bool waitFor(const std::function<bool()>& done) {
    for (QDeadlineTimer deadline(15000); !done();) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// The quota endpoints on the fake server, each answering with numbers (Kimi Code 100 ms late, so a
// cycle is still running when a test looks), a credential for each, and a fetcher over them.
class UsageTest : public testing::Test {
protected:
    TempHome home;
    FakeHttpServer fake;
    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    std::shared_ptr<UsageFetcher> fetcher = std::make_shared<UsageFetcher>(clock);
    int updates = 0;
    bool onMainThread = true; // for every update so far

    void SetUp() override {
        pointQuotaEndpointsAt(fake.baseUrl());
        home.write(".claude/.credentials.json", R"({"claudeAiOauth":{"accessToken":"claude-token"}})");
        home.write(".codex/auth.json", R"({"tokens":{"access_token":"codex-token","account_id":"acct-7"}})");
        home.write(".grok/auth.json", R"({"https://auth.x.ai::me":{"key":"grok-token"}})");
        home.write(".kimi-code/credentials/kimi-code.json", R"({"access_token":"kimi-token"})");
        fake.setJson(claudePath,
                     R"({"five_hour":{"utilization":12.5},"seven_day":{"utilization":30},"limits":[
            {"kind":"weekly_scoped","scope":{"model":{"display_name":"Fable"}},"percent":61}]})");
        fake.setJson(codexPath, R"({"rate_limit":{"secondary":{"used_percent":44,"window_minutes":10080}}})");
        fake.setJson(grokPath, R"({"config":{"creditUsagePercent":7}})");
        fake.setResponse(kimiPath, FakeResponse{200, R"({"usage":{"limit":10,"used":5}})", {}, 100});
        fetcher->setOnUpdate([this] {
            onMainThread &= QThread::currentThread() == QCoreApplication::instance()->thread();
            ++updates;
        });
    }
    void TearDown() override {
        // A cycle still running ends, and its update runs, before the fixture goes.
        QThreadPool::globalInstance()->waitForDone(30000);
        QCoreApplication::processEvents();
    }
    void cycle() {
        const int before = updates;
        ASSERT_TRUE(fetcher->refresh());
        ASSERT_TRUE(waitFor([&] { return updates == before + 1; }));
    }
};
using QuotaEndpointsTest = UsageTest;
using UsageFetcherTest = UsageTest;

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
             QuotaEndpoints::asciiHeaderValue(QSysInfo::machineHostName()) +
             "\nX-Msh-Device-Model: Linux\nX-Msh-Os-Version: " +
             QuotaEndpoints::asciiHeaderValue(QSysInfo::prettyProductName()) +
             "\nX-Msh-Device-Id: " + QuotaEndpoints::kimiDeviceID().toUtf8()},
    };
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
        {Claude, 500, "oops", failed("Claude 用量接口 HTTP 500")},
        {Codex, 200, codexWeekly, {.weeklyPct = 55.5, .weeklyResetMin = 60}},
        {Codex, 201, codexPast, {.weeklyPct = 3, .weeklyResetMin = 0}},
        {Codex, 200, R"({"rate_limit":{}})", {}},
        {Codex, 200, R"({"rate_limit":5})", codexBad},
        {Codex, 204, "", codexBad},
        {Codex, 401, "{}", failed("Codex 凭据过期，运行 codex 重新登录")},
        {Codex, 403, "{}", failed("Codex 凭据过期，运行 codex 重新登录")},
        {Codex, 429, "{}", failed("Codex 用量接口 HTTP 429")}, // never rate limited
        {Codex, 500, "{}", failed("Codex 用量接口 HTTP 500")},
        {Grok, 200, grokMillis, {.weeklyPct = 12.5, .weeklyResetMin = 120}},
        {Grok, 200, grokIso, {.weeklyPct = 1, .weeklyResetMin = 10}},
        {Grok, 200, grokMonthly, grokBad},
        {Grok, 200, R"({"config":{"creditUsagePercent":"12%"}})", grokBad},
        {Grok, 200, "{config", grokBad},
        {Grok, 204, "", failed("Grok 用量接口 HTTP 204")},
        {Grok, 401, "{}", failed("Grok 凭据过期，请重新登录 Grok/Pi")},
        {Grok, 403, "{}", failed("Grok 凭据过期，请重新登录 Grok/Pi")},
        {Grok, 429, "{}", failed("Grok 用量接口限流，稍后自动重试", true)},
        {Grok, 500, "{}", failed("Grok 用量接口 HTTP 500")},
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
        {Kimi, 500, "{}", failed("Kimi Code 用量接口 HTTP 500")},
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

// "header.<payload>.signature" with the ChatGPT account `id` in its URL-safe Base64 payload.
QByteArray jwt(const QByteArray& id, const QByteArray& claims = "{\"chatgpt_account_id\":\"%1\"}") {
    const QByteArray payload =
        "{\"https://api.openai.com/auth\":" + QByteArray(claims).replace("%1", id) + "}";
    return "h." + payload.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals) + ".s";
}

// Codex's file with the access token "a", `more` members and the identity token `idToken`.
QByteArray codexAuth(const QByteArray& idToken, const QByteArray& more = {}) {
    return R"({"tokens":{"access_token":"a",)" + more + R"("id_token":")" + idToken + "\"}}";
}

// A stand-in for the keychain tool that leaves its arguments in ~/args.
QByteArray keychainTool(int status) {
    return "#!/bin/sh\necho \"$*\" > \"$HOME/args\"\necho ' "
           "{\"claudeAiOauth\":{\"accessToken\":\"from-tool\"}}'\n"
           "exit " +
           QByteArray::number(status);
}

// Every HOME also holds the keychain tool, Pi's xAI token "pi" and a Kimi Code API key.
TEST(Credentials, FromTheToolsFilesInTheirOrder) {
    const char *claudeFile = ".claude/.credentials.json", *codexFile = ".codex/auth.json",
               *grokFile = ".grok/auth.json", *piFile = ".pi/agent/auth.json",
               *kimiFile = ".kimi-code/credentials/kimi-code.json";
    // Each lookup as text: the token, then what else it tells.
    const auto claude = [] {
        const QString token = Credentials::claudeAccessToken(QDir::homePath() + "/security").value_or("-");
        QFile args(QDir::homePath() + "/args");
        return args.open(QIODevice::ReadOnly) ? token + " via security " + args.readAll().trimmed() : token;
    };
    const auto codex = [] {
        const auto found = Credentials::codexCredentials();
        return found ? found->accessToken + ' ' + found->accountId.value_or("-") : "-";
    };
    const auto grok = [] { return Credentials::grokAccessToken(now).value_or("-"); };
    const auto kimi = [] {
        const auto found = Credentials::kimiCredential(now);
        return found ? found->token + (found->isCLI ? " (CLI)" : "") : "-";
    };
    const QByteArray viaTool = " via security find-generic-password -s Claude Code-credentials -w";
    // Ids of these lengths need 0, 1 and 2 padding characters; the last brings '-' and '_'.
    ASSERT_TRUE(jwt("~?~>~?~").contains('-') && jwt("~?~>~?~").contains('_'));
    const struct {
        QString (*lookup)();
        const char* path;
        QByteArray content;
        QByteArray expected;
    } cases[] = {
        {claude, claudeFile, R"({"claudeAiOauth":{"accessToken":"t"}})", "t"},
        {claude, claudeFile, "{", "-"}, // a file that does not parse is the answer too
        {claude, "other", "", "from-tool" + viaTool},
        {claude, "security", keychainTool(1), "-" + viaTool},
        {codex, codexFile, codexAuth(jwt("j"), R"("account_id":"id",)"), "a id"},
        {codex, codexFile, codexAuth(jwt("j"), R"("account_id":7,)"), "a j"},
        {codex, codexFile, codexAuth(jwt("ab")), "a ab"},
        {codex, codexFile, codexAuth(jwt("abc")), "a abc"},
        {codex, codexFile, codexAuth(jwt("~?~>~?~")), "a ~?~>~?~"},
        {codex, codexFile, codexAuth("." + jwt("x").chopped(2) + ".."), "a x"}, // empty pieces dropped
        {codex, codexFile, codexAuth("h.!!!.s"), "a -"},
        {codex, codexFile, codexAuth(jwt("x", "{\"chatgpt_account_id\":5}")), "a -"},
        {codex, codexFile, R"({"tokens":{"access_token":""}})", "-"},
        {codex, codexFile, "{", "-"},
        {grok, grokFile, R"({"other":{"key":"other"},"https://auth.x.ai::me":{"key":"xai"}})", "xai"},
        // File order, not sorted, after an expired preferred entry (milliseconds).
        {grok, grokFile,
         R"({"z":{"key":"z"},"a":{"key":"a"},"https://auth.x.ai::u":{"key":"x","expires_at":1779999999000}})",
         "z"},
        {grok, grokFile, R"({"a":{"key":"1","expires_at":"2026-05-28T20:26:39.500Z"},"b":{"key":"2"}})", "2"},
        {grok, grokFile, R"({"a":"x","b":{"key":""},"c":{"key":"k","expires_at":{}}})", "k"},
        {grok, grokFile, R"({"b":{"key":"b"},"https://auth.x.ai":{"key":"bare"}})", "b"}, // no "::"
        {grok, grokFile, "{", "pi"},
        {grok, piFile, R"({"xai":{"access":"pi","expires":1779999999}})", "-"},
        // The CLI's token unless it expires within a minute, then the trimmed variable.
        {kimi, kimiFile, R"({"access_token":"cli","expires_at":1780000061})", "cli (CLI)"},
        {kimi, kimiFile, R"({"access_token":"cli","expires_at":1780000060})", "env"},
        {kimi, kimiFile, "{", "env"},
    };
    qputenv("KIMI_CODE_API_KEY", " \tenv\n");
    for (const auto& c : cases) {
        TempHome home;
        const auto executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        QFile::setPermissions(home.write("security", keychainTool(0)), executable);
        home.write(piFile, R"({"xai":{"access":"pi","expires":1780000001}})");
        QFile::setPermissions(home.write(c.path, c.content), executable);
        EXPECT_EQ(c.lookup().toUtf8(), c.expected) << c.content.data();
    }
    qputenv("KIMI_CODE_API_KEY", "  \n");
    TempHome none;
    EXPECT_EQ(claude(), "-") << "no file and no keychain tool";
    EXPECT_EQ(kimi(), "-") << "a blank variable and no keychain";
    qunsetenv("KIMI_CODE_API_KEY");
}

// Unix seconds, milliseconds above 1e10, numeric strings and internet date-times, read alike by
// minutesUntil() and isExpired().
TEST(TimeValues, MinutesUntilAndExpiry) {
    const struct {
        QJsonValue value;
        std::optional<std::int64_t> minutes;
        bool expired, expiredWithinAMinute;
    } cases[] = {
        {now, 0, true, true},
        {now + 59, 0, false, true},
        {"1780000600", 10, false, false},
        {(now + 600) * 1000, 10, false, false},
        {1e10, std::int64_t((1e10 - now) / 60), false, false},
        {"2026-05-28T20:26:39.500Z", 0, true, true},
        {"2026-05-28T21:26:40", std::nullopt, false, false}, // no zone
        {true, std::nullopt, false, false},
        {QJsonValue(QJsonValue::Undefined), std::nullopt, false, false},
        {1e300, std::numeric_limits<std::int64_t>::max(), false, false},
    };
    for (const auto& c : cases) {
        const std::string what = c.value.toVariant().toString().toStdString();
        EXPECT_EQ(UsageFetcher::minutesUntil(c.value, now), c.minutes) << what;
        EXPECT_EQ(Credentials::isExpired(c.value, 0, now), c.expired) << what;
        EXPECT_EQ(Credentials::isExpired(c.value, 60, now), c.expiredWithinAMinute) << what;
    }
}

TEST_F(UsageFetcherTest, RefreshStartsOneCycleAtATimeAndAtMostOnceAMinute) {
    EXPECT_TRUE(fetcher->refresh());
    EXPECT_FALSE(fetcher->refresh()) << "a cycle is running";
    ASSERT_TRUE(waitFor([&] { return updates == 1; }));
    clock->advance(59.9);
    EXPECT_FALSE(fetcher->refresh()) << "within the minute";
    clock->advance(0.1);
    cycle();
    EXPECT_EQ(fake.requests().size(), 8) << "each cycle asks each provider once";
}

TEST_F(UsageFetcherTest, A429HoldsAllFourBackFiveMinutesExceptFromCodex) {
    const std::pair<QString, double> cases[] = {
        {claudePath, 300}, {codexPath, 60}, {grokPath, 300}, {kimiPath, 300}};
    for (const auto& [path, wait] : cases) {
        fake.setResponse(path, FakeResponse{429, "{}"});
        cycle();
        clock->advance(wait - 1);
        EXPECT_FALSE(fetcher->refresh()) << path.toStdString() << ": too early";
        clock->advance(1);
        cycle();
        clock->advance(300);
        fake.setJson(path, "{}");
    }
}

TEST_F(UsageFetcherTest, AFailureKeepsTheLastNumbersAndShowsItsError) {
    const struct {
        int status;
        QByteArray body;
        U expected; // one cycle a minute, from `now` on
    } cycles[] = {
        {500, "", {.error = "Grok 用量接口 HTTP 500"}},
        {200, R"({"config":{"creditUsagePercent":7}})", {.weeklyPct = 7, .fetchedAt = now + 60}},
        {401, "", {.weeklyPct = 7, .error = "Grok 凭据过期，请重新登录 Grok/Pi", .fetchedAt = now + 60}},
        {200, "{}", {.weeklyPct = 7, .error = "Grok 周额度响应解析失败", .fetchedAt = now + 60}},
        {200, R"({"config":{"creditUsagePercent":9}})", {.weeklyPct = 9, .fetchedAt = now + 240}},
    };
    for (const auto& c : cycles) {
        fake.setResponse(grokPath, FakeResponse{c.status, c.body});
        cycle();
        EXPECT_EQ(fetcher->usage(UsageProvider::Grok), c.expected);
        EXPECT_EQ(fetcher->usage(UsageProvider::Kimi).weeklyPct, 50) << "the others keep theirs";
        clock->advance(60);
    }
}

TEST_F(UsageFetcherTest, ErrorsAreLoggedInProviderOrderAndUpdateRunsOnTheMainThread) {
    QStringList lines;
    Log::setSink([&](const QString& line) { lines.append(line); });
    const auto restoreLog = qScopeGuard([] { Log::setSink({}); });
    fake.setResponse(claudePath, FakeResponse{500, "", {}, 400}); // the answers come in reverse order
    fake.setResponse(grokPath, FakeResponse{500, "", {}, 200});
    fake.setResponse(kimiPath, FakeResponse{401, ""});
    cycle();
    EXPECT_TRUE(onMainThread);
    EXPECT_EQ(lines,
              (QStringList{"[usage] claude: Claude 用量接口 HTTP 500", "[usage] grok: Grok 用量接口 HTTP 500",
                           "[usage] kimi: Kimi Code 凭据无效或过期"}));
}

TEST_F(UsageFetcherTest, AutoRefreshFetchesAtOnceThenOnItsTimer) {
    fetcher->startAutoRefresh(0.05);
    EXPECT_FALSE(fetcher->refresh()) << "the first cycle runs at once";
    ASSERT_TRUE(waitFor([&] { return updates == 1; }));
    clock->advance(60); // the timer keeps asking; the minute's floor lets the next cycle through only now
    ASSERT_TRUE(waitFor([&] { return updates == 2; }));
    EXPECT_EQ(fake.requests().size(), 8);
}

TEST_F(UsageFetcherTest, TheStatusDocumentShowsTheQuotaAfterTheFirstCycle) {
    auto status = std::make_shared<StatusService>(clock);
    status->setUsage(fetcher);
    cycle();
    const QJsonObject doc = QJsonDocument::fromJson(status->snapshot(false).jsonData()).object();
    const auto at = [&](const char* provider, const char* key) {
        return doc[provider].toObject()[key].toDouble();
    };
    EXPECT_EQ(QList<double>({at("claude", "five_hour_pct"), at("claude", "seven_day_pct"),
                             at("claude", "fable_pct"), at("codex", "weekly_pct"), at("grok", "weekly_pct"),
                             at("kimi", "weekly_pct")}),
              QList<double>({12.5, 30, 61, 44, 7, 50}));
    status->scanQueue().sync([] {}); // the first snapshot's scan ends before the service goes
}

} // namespace
