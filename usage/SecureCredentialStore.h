#pragma once

#include <QString>

#include <chrono>
#include <optional>

namespace glimmet {

// The bridge's own items in the user's keychain (the Secret Service through qtkeychain),
// one per account name under the service "GlimmetBridge". Stateless; callable from any
// thread but the keychain's own: the jobs run on a private "glimmet.keychain" queue and the
// caller waits, never past a deadline, so a missing or stuck keychain cannot hang it.
class SecureCredentialStore {
public:
    static constexpr auto service = "GlimmetBridge";
    static constexpr auto kimiCodeApiKeyAccount = "kimi-code-api-key";

    // Stores `value` trimmed; an absent or blank value deletes the item (deleting an item
    // that does not exist succeeds). True on success.
    static bool save(const std::optional<QString>& value, const QString& account);

    // The stored text, trimmed, when an item exists and is not blank.
    static std::optional<QString> load(const QString& account);

    // How long a caller waits for the keychain (10 s unless changed).
    static void setDeadline(std::chrono::milliseconds deadline);
};

} // namespace glimmet
