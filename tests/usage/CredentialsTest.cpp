#include "usage/Credentials.h"

#include "usage/UsageTestFixture.h"

using namespace glimmet;
using namespace glimmet::test;

namespace {

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

} // namespace
