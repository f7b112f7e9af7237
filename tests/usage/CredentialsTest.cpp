#include "usage/Credentials.h"

#include "support/TempHome.h"
#include "usage/UsageTestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

constexpr double now = 1'780'000'000.0;

QByteArray jwtPayload(const QByteArray& json) {
    return json.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QByteArray claims(const QString& accountId) {
    return QStringLiteral(R"({"https://api.openai.com/auth":{"chatgpt_account_id":"%1"}})")
        .arg(accountId)
        .toUtf8();
}

// A stand-in for the keychain tool: prints `output`, exits with `status` and leaves its
// arguments in `argsFile`.
QString writeTool(const TempHome& home, const QByteArray& output, int status) {
    const QString path =
        home.write("bin/security", "#!/bin/sh\nprintf '%s' \"$*\" > \"$HOME/tool-args\"\nprintf '%s' '" +
                                       output + "'\nexit " + QByteArray::number(status) + "\n");
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

TEST(ClaudeCredentials, FileFirstKeychainToolOnlyWhenTheFileCannotBeRead) {
    const QByteArray good = R"({"claudeAiOauth":{"accessToken":"from-file"}})";
    const QByteArray fromTool = "\n  {\"claudeAiOauth\":{\"accessToken\":\"from-tool\"}}\n";
    const struct {
        const char* name;
        std::optional<QByteArray> file;
        std::optional<int> toolStatus; // absent: no tool installed
        std::optional<QString> expected;
        bool toolRuns;
    } cases[] = {
        {"file", good, 0, "from-file", false},
        {"empty token", R"({"claudeAiOauth":{"accessToken":""}})", 0, std::nullopt, false},
        {"token not a string", R"({"claudeAiOauth":{"accessToken":5}})", 0, std::nullopt, false},
        {"invalid JSON does not fall back", "{not json", 0, std::nullopt, false},
        {"no file: the tool's item", std::nullopt, 0, "from-tool", true},
        {"no file, tool fails", std::nullopt, 1, std::nullopt, true},
        {"no file, no tool", std::nullopt, std::nullopt, std::nullopt, false},
    };
    for (const auto& c : cases) {
        TempHome home;
        if (c.file)
            home.write(".claude/.credentials.json", *c.file);
        const QString tool = c.toolStatus ? writeTool(home, fromTool, *c.toolStatus)
                                          : home.path() + QStringLiteral("/bin/none");
        EXPECT_EQ(Credentials::claudeAccessToken(tool), c.expected) << c.name;
        QFile args(home.path() + "/tool-args");
        EXPECT_EQ(args.exists(), c.toolRuns) << c.name;
        if (c.toolRuns && args.open(QIODevice::ReadOnly)) {
            EXPECT_EQ(args.readAll(), "find-generic-password -s Claude Code-credentials -w") << c.name;
        }
    }
}

TEST(CodexCredentials, AccessTokenAndAccountId) {
    const QByteArray idToken = "header." + jwtPayload(claims("from-jwt")) + ".signature";
    const struct {
        const char* name;
        QByteArray file;
        std::optional<CodexCredentials> expected;
    } cases[] = {
        {"account_id", R"({"tokens":{"access_token":"a","account_id":"acct"}})",
         CodexCredentials{"a", "acct"}},
        {"id_token", R"({"tokens":{"access_token":"a","id_token":")" + idToken + R"("}})",
         CodexCredentials{"a", "from-jwt"}},
        {"account_id not a string",
         R"({"tokens":{"access_token":"a","account_id":7,"id_token":")" + idToken + R"("}})",
         CodexCredentials{"a", "from-jwt"}},
        {"no account", R"({"tokens":{"access_token":"a"}})", CodexCredentials{"a", std::nullopt}},
        {"empty access token", R"({"tokens":{"access_token":""}})", std::nullopt},
        {"no tokens", R"({"access_token":"a"})", std::nullopt},
        {"invalid JSON", "{", std::nullopt},
        {"not an object", "[]", std::nullopt},
    };
    for (const auto& c : cases) {
        TempHome home;
        home.write(".codex/auth.json", c.file);
        EXPECT_EQ(Credentials::codexCredentials(), c.expected) << c.name;
    }
    TempHome none;
    EXPECT_EQ(Credentials::codexCredentials(), std::nullopt);
}

TEST(AccountIdFromJWT, DecodesTheUrlSafePayload) {
    // Ids of different lengths need 0, 1 and 2 padding characters; '?' and '>' bring the
    // URL-safe letters '_' and '-' into the payload.
    for (const QString& id : {QStringLiteral("a"), QStringLiteral("ab"), QStringLiteral("abc"),
                              QStringLiteral("a?>b?>c?>"), QStringLiteral("~?~>~?~")}) {
        const QByteArray payload = jwtPayload(claims(id));
        EXPECT_EQ(Credentials::accountIdFromJWT("h." + payload + ".s"), id) << payload.constData();
    }
    ASSERT_TRUE(jwtPayload(claims("a?>b?>c?>")).contains('_') ||
                jwtPayload(claims("a?>b?>c?>")).contains('-'));

    const struct {
        const char* name;
        QByteArray token;
        std::optional<QString> expected;
    } cases[] = {
        {"empty pieces are dropped", ".." + jwtPayload(claims("x")) + "..", std::nullopt},
        {"two pieces suffice", "h." + jwtPayload(claims("x")), "x"},
        {"leading empty piece", ".h." + jwtPayload(claims("x")), "x"},
        {"one piece", jwtPayload(claims("x")), std::nullopt},
        {"not Base64", "h.***.s", std::nullopt},
        {"not JSON", "h." + jwtPayload("hello") + ".s", std::nullopt},
        {"claim missing", "h." + jwtPayload(R"({"sub":"x"})") + ".s", std::nullopt},
        {"claim not an object", "h." + jwtPayload(R"({"https://api.openai.com/auth":"x"})") + ".s",
         std::nullopt},
        {"id not a string",
         "h." + jwtPayload(R"({"https://api.openai.com/auth":{"chatgpt_account_id":5}})") + ".s",
         std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Credentials::accountIdFromJWT(QString::fromLatin1(c.token)), c.expected) << c.name;
}

TEST(GrokCredentials, PreferredOriginThenFileOrderThenPi) {
    const QString future = QString::number(qint64(now + 3600));
    const QString pastMillis = QString::number(qint64((now - 1) * 1000));
    const struct {
        const char* name;
        std::optional<QByteArray> grok;
        std::optional<QByteArray> pi;
        std::optional<QString> expected;
    } cases[] = {
        {"preferred origin wins over an earlier entry",
         R"({"other":{"key":"other-key"},"https://auth.x.ai::user":{"key":"xai-key"}})", std::nullopt,
         "xai-key"},
        {"expired preferred entry: next in file order",
         QStringLiteral(R"({"zeta":{"key":"zeta-key"},"alpha":{"key":"alpha-key"},
                           "https://auth.x.ai::u":{"key":"old","expires_at":%1}})")
             .arg(pastMillis)
             .toUtf8(),
         std::nullopt, "zeta-key"},
        {"expiry as ISO with fraction",
         QStringLiteral(R"({"a":{"key":"k1","expires_at":"%1"},"b":{"key":"k2"}})")
             .arg(isoAt(now - 1, true))
             .toUtf8(),
         std::nullopt, "k2"},
        {"expiry as ISO without fraction",
         QStringLiteral(R"({"a":{"key":"k1","expires_at":"%1"}})").arg(isoAt(now + 60)).toUtf8(),
         std::nullopt, "k1"},
        {"expiry in another form never expires", R"({"a":{"key":"k1","expires_at":{"at":1}}})", std::nullopt,
         "k1"},
        {"unusable entries are skipped", R"({"a":"x","b":{"key":""},"c":{"key":5},"d":{"key":"k4"}})",
         std::nullopt, "k4"},
        {"prefix without the separator is not preferred",
         R"({"b":{"key":"b-key"},"https://auth.x.ai":{"key":"bare"}})", std::nullopt, "b-key"},
        {"all expired: Pi", QStringLiteral(R"({"a":{"key":"k","expires_at":"%1"}})").arg(isoAt(now)).toUtf8(),
         QStringLiteral(R"({"xai":{"access":"pi-token","expires":%1}})").arg(future).toUtf8(), "pi-token"},
        {"invalid Grok file: Pi", "{", R"({"xai":{"access":"pi-token"}})", "pi-token"},
        {"Pi expired", std::nullopt,
         QStringLiteral(R"({"xai":{"access":"pi","expires":%1}})").arg(pastMillis).toUtf8(), std::nullopt},
        {"Pi without access", std::nullopt, R"({"xai":{"access":""}})", std::nullopt},
        {"nothing", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        TempHome home;
        if (c.grok)
            home.write(".grok/auth.json", *c.grok);
        if (c.pi)
            home.write(".pi/agent/auth.json", *c.pi);
        EXPECT_EQ(Credentials::grokAccessToken(now), c.expected) << c.name;
    }
}

TEST(KimiCredentials, CliFileThenEnvironmentThenKeychain) {
    const auto cli = [](std::optional<double> expiresAt) {
        return expiresAt ? QStringLiteral(R"({"access_token":"cli","expires_at":%1})")
                               .arg(qint64(*expiresAt))
                               .toUtf8()
                         : QByteArray(R"({"access_token":"cli"})");
    };
    const struct {
        const char* name;
        std::optional<QByteArray> file;
        QByteArray environment;
        std::optional<KimiCredential> expected;
    } cases[] = {
        {"CLI token", cli(std::nullopt), "env-key", KimiCredential{"cli", true}},
        {"CLI token valid for 61 s", cli(now + 61), "env-key", KimiCredential{"cli", true}},
        {"CLI token expiring in 30 s", cli(now + 30), "env-key", KimiCredential{"env-key", false}},
        {"CLI token expiring in exactly 60 s", cli(now + 60), "env-key", KimiCredential{"env-key", false}},
        {"empty CLI token", R"({"access_token":""})", " \tenv-key\n", KimiCredential{"env-key", false}},
        {"invalid CLI file", "{", "env-key", KimiCredential{"env-key", false}},
        {"blank variable, no keychain", std::nullopt, "  \n", std::nullopt},
        {"nothing", std::nullopt, "", std::nullopt},
    };
    for (const auto& c : cases) {
        TempHome home;
        if (c.file)
            home.write(".kimi-code/credentials/kimi-code.json", *c.file);
        qputenv("KIMI_CODE_API_KEY", c.environment);
        EXPECT_EQ(Credentials::kimiCredential(now), c.expected) << c.name;
    }
    qunsetenv("KIMI_CODE_API_KEY");
}

TEST(IsExpired, DeadlineIsNowPlusGrace) {
    const struct {
        const char* name;
        QJsonValue value;
        double grace;
        bool expected;
    } cases[] = {
        {"seconds past", now - 1, 0, true},
        {"seconds at the deadline", now, 0, true},
        {"seconds future", now + 1, 0, false},
        {"within the grace", now + 59, 60, true},
        {"beyond the grace", now + 61, 60, false},
        {"milliseconds past", (now - 1) * 1000, 0, true},
        {"milliseconds future", (now + 1) * 1000, 0, false},
        {"numeric string", QString::number(qint64(now - 5)), 0, true},
        {"ISO past with fraction", isoAt(now - 0.5, true), 0, true},
        {"ISO future", isoAt(now + 10), 0, false},
        {"ISO without zone", "2020-01-01T00:00:00", 0, false},
        {"unparsable string", "yesterday", 0, false},
        {"null", QJsonValue(), 0, false},
        {"absent", QJsonValue(QJsonValue::Undefined), 0, false},
        {"bool", true, 0, false},
        {"array", QJsonArray{1}, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Credentials::isExpired(c.value, c.grace, now), c.expected) << c.name;
}

} // namespace
