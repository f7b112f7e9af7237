// Runs twice under CTest: SecretService on a private session bus with an unlocked GNOME keyring
// (with-secret-service.sh), NoSecretService with no bus at all, as every other usage test runs.
#include "usage/SecureCredentialStore.h"
#include "usage/Credentials.h"

#include "support/TempHome.h"

#include <gtest/gtest.h>

using namespace glimmet;

namespace {

const QString account = QString::fromLatin1(SecureCredentialStore::kimiCodeApiKeyAccount);
constexpr double now = 1'780'000'000.0;

TEST(SecretService, SaveLoadOverwriteAndDelete) {
    const auto save = SecureCredentialStore::save;
    const auto load = SecureCredentialStore::load;
    EXPECT_EQ(load(account), std::nullopt);
    EXPECT_TRUE(save(std::nullopt, account)) << "deleting a missing item succeeds";
    EXPECT_TRUE(save(" key-1 \n", account));
    EXPECT_EQ(load(account), "key-1");
    EXPECT_TRUE(save("密钥-2", account));
    EXPECT_TRUE(save("other", "another-account"));
    EXPECT_EQ(load(account), "密钥-2") << "items are per account";
    EXPECT_TRUE(save(" \t\n", account)) << "a blank value deletes";
    EXPECT_EQ(load(account), std::nullopt);
    EXPECT_EQ(load("another-account"), "other");
}

TEST(SecretService, KimiCodeFallsBackToTheStoredKey) {
    test::TempHome home;
    ASSERT_TRUE(SecureCredentialStore::save("stored-key", account));
    EXPECT_EQ(Credentials::kimiCredential(now), (KimiCredential{"stored-key", false}));
    qputenv("KIMI_CODE_API_KEY", "env");
    EXPECT_EQ(Credentials::kimiCredential(now), (KimiCredential{"env", false})) << "the variable comes first";
    qunsetenv("KIMI_CODE_API_KEY"); // and the CLI's token before it (CredentialsTest)
    EXPECT_TRUE(SecureCredentialStore::save(std::nullopt, account));
}

TEST(NoSecretService, FailsAtOnce) {
    // Longer than any test may run: these failures come from the missing keychain, not the deadline.
    SecureCredentialStore::setDeadline(std::chrono::hours(1));
    EXPECT_FALSE(SecureCredentialStore::save("key", account));
    EXPECT_FALSE(SecureCredentialStore::save(std::nullopt, account));
    EXPECT_EQ(SecureCredentialStore::load(account), std::nullopt);
    EXPECT_EQ(Credentials::kimiCredential(now), std::nullopt);
}

} // namespace
