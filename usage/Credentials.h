#pragma once

#include <QJsonValue>
#include <QString>

#include <optional>

namespace glimmet {

struct CodexCredentials {
    QString accessToken;
    std::optional<QString> accountId; // the ChatGPT account, when one was found

    bool operator==(const CodexCredentials&) const = default;
};

struct KimiCredential {
    QString token;
    bool isCLI = false; // from the Kimi Code command-line tool's file (not an API key)

    bool operator==(const KimiCredential&) const = default;
};

// Finds the tokens that the user's coding tools have already stored on this computer, so
// the quota requests authenticate as the user. Stateless: every lookup reads the sources
// afresh on the calling (worker) thread. Tokens are secrets: never log them.
class Credentials {
public:
    // The namespaced claim of an OpenAI identity token that carries the ChatGPT account.
    static constexpr auto openAIAuthClaim = "https://api.openai.com/auth";
    // Keys of ~/.grok/auth.json that begin with this origin and "::" are tried first.
    static constexpr auto xaiAuthOrigin = "https://auth.x.ai";
    // The macOS keychain tool that holds Claude Code's own item; absent on Linux.
    static constexpr auto securityTool = "/usr/bin/security";
    static constexpr auto kimiApiKeyVariable = "KIMI_CODE_API_KEY";

    // ~/.claude/.credentials.json, or, only when that file cannot be read, Claude Code's
    // keychain item through `keychainTool` (run only where it exists).
    static std::optional<QString>
    claudeAccessToken(const QString& keychainTool = QString::fromLatin1(securityTool));

    // ~/.codex/auth.json.
    static std::optional<CodexCredentials> codexCredentials();
    static std::optional<QString> accountIdFromJWT(const QString& token);

    // ~/.grok/auth.json, then ~/.pi/agent/auth.json; expired tokens are passed over.
    static std::optional<QString> grokAccessToken(double now);

    // The Kimi Code CLI's token unless it expires within a minute, else the API key from
    // the environment, else the one the user stored in the keychain.
    static std::optional<KimiCredential> kimiCredential(double now);

    // Whether `value` (Unix seconds, milliseconds above 1e10, or an internet date-time)
    // lies at or before now + grace. Anything unreadable never counts as expired.
    static bool isExpired(const QJsonValue& value, double grace, double now);
};

} // namespace glimmet
