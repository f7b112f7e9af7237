// Runs twice under CTest: the SecretService cases on a private session bus with an unlocked
// GNOME keyring (with-secret-service.sh), the NoSecretService cases with no bus at all.
#include "usage/SecureCredentialStore.h"
#include "usage/Credentials.h"
#include "usage/QuotaEndpoints.h"

#include "support/FakeClock.h"
#include "support/TempHome.h"
#include "usage/UsageTestSupport.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace glimmet;
using namespace glimmet::test;

namespace {

const QString account = QString::fromLatin1(SecureCredentialStore::kimiCodeApiKeyAccount);

TEST(SecretService, SaveLoadOverwriteAndDelete) {
    EXPECT_EQ(SecureCredentialStore::load(account), std::nullopt);
    EXPECT_TRUE(SecureCredentialStore::save(std::nullopt, account)) << "deleting a missing item succeeds";

    EXPECT_TRUE(SecureCredentialStore::save(" key-1 \n", account));
    EXPECT_EQ(SecureCredentialStore::load(account), "key-1");
    EXPECT_TRUE(SecureCredentialStore::save("密钥-2", account));
    EXPECT_EQ(SecureCredentialStore::load(account), "密钥-2");

    EXPECT_TRUE(SecureCredentialStore::save("other", "another-account"));
    EXPECT_EQ(SecureCredentialStore::load(account), "密钥-2") << "items are per account";

    EXPECT_TRUE(SecureCredentialStore::save(" \t\n", account)) << "a blank value deletes";
    EXPECT_EQ(SecureCredentialStore::load(account), std::nullopt);
    EXPECT_EQ(SecureCredentialStore::load("another-account"), "other");
    EXPECT_TRUE(SecureCredentialStore::save(std::nullopt, "another-account"));
    EXPECT_EQ(SecureCredentialStore::load("another-account"), std::nullopt);
}

TEST(SecretService, KimiFallsBackToTheStoredKey) {
    TempHome home;
    FakeHttpServer fake;
    FakeClock clock;
    pointQuotaEndpointsAt(fake.baseUrl());
    fake.setJson(kimiPath, R"({"usage":{"limit":4,"used":1}})");
    ASSERT_TRUE(SecureCredentialStore::save("stored-key", account));

    EXPECT_EQ(Credentials::kimiCredential(clock.now()), (KimiCredential{"stored-key", false}));
    ProviderUsage usage = QuotaEndpoints::fetchKimi(clock);
    EXPECT_EQ(usage.weeklyPct, 25);
    EXPECT_EQ(fake.requests(kimiPath).last().header("Authorization"), "Bearer stored-key");

    qputenv("KIMI_CODE_API_KEY", "env-key");
    EXPECT_EQ(Credentials::kimiCredential(clock.now()), (KimiCredential{"env-key", false}));
    qunsetenv("KIMI_CODE_API_KEY");
    home.write(".kimi-code/credentials/kimi-code.json", R"({"access_token":"cli"})");
    EXPECT_EQ(Credentials::kimiCredential(clock.now()), (KimiCredential{"cli", true}));

    EXPECT_TRUE(SecureCredentialStore::save(std::nullopt, account));
}

TEST(NoSecretService, FailsAtOnceAndTheOtherSourcesStillWork) {
    TempHome home;
    FakeClock clock;
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_FALSE(SecureCredentialStore::save("key", account));
    EXPECT_FALSE(SecureCredentialStore::save(std::nullopt, account));
    EXPECT_EQ(SecureCredentialStore::load(account), std::nullopt);
    EXPECT_EQ(Credentials::kimiCredential(clock.now()), std::nullopt);
    EXPECT_EQ(QuotaEndpoints::fetchKimi(clock).error, "未找到 Kimi Code 登录凭据或 API Key");
    // Far below the deadline that guards against a keychain that never answers.
    EXPECT_LT(elapsed.elapsed(), 5000);

    qputenv("KIMI_CODE_API_KEY", "env-key");
    EXPECT_EQ(Credentials::kimiCredential(clock.now()), (KimiCredential{"env-key", false}));
    qunsetenv("KIMI_CODE_API_KEY");
    home.write(".kimi-code/credentials/kimi-code.json", R"({"access_token":"cli"})");
    EXPECT_EQ(Credentials::kimiCredential(clock.now()), (KimiCredential{"cli", true}));
}

} // namespace
