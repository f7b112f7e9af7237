#include "usage/Credentials.h"

#include "common/Json.h"
#include "status/LogTimestamp.h"
#include "usage/SecureCredentialStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>

#include <simdjson.h>

#include <algorithm>
#include <string_view>

namespace glimmet {

namespace {

// Claude Code's keychain tool may wait for the user to allow access; past this it is given up.
constexpr int keychainToolDeadlineMs = 60'000;

QString homeFile(const QString& relative) {
    return QDir::homePath() + u'/' + relative;
}

std::optional<QByteArray> readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

std::optional<QJsonObject> readObject(const QString& path) {
    const auto bytes = readFile(path);
    return bytes ? parseObject(*bytes) : std::nullopt;
}

// A member that is a non-empty string.
std::optional<QString> nonEmptyString(const QJsonValue& value) {
    const auto text = string(value);
    return text && !text->isEmpty() ? text : std::nullopt;
}

// The top-level member names of a JSON object in the order the text lists them (a parsed
// QJsonObject sorts them). Empty when the text is not an object.
QStringList memberNamesInOrder(const QByteArray& json) {
    QStringList names;
    simdjson::ondemand::parser parser;
    const simdjson::padded_string padded(std::string_view(json.constData(), size_t(json.size())));
    simdjson::ondemand::document document;
    simdjson::ondemand::object object;
    if (parser.iterate(padded).get(document) != simdjson::SUCCESS || document.get_object().get(object))
        return {};
    for (auto field : object) {
        std::string_view key;
        if (field.unescaped_key().get(key) != simdjson::SUCCESS)
            return {};
        names.append(QString::fromUtf8(key.data(), qsizetype(key.size())));
    }
    return names;
}

std::optional<QString> tokenFromClaudeCredentials(const QByteArray& json) {
    const auto object = parseObject(json);
    if (!object)
        return std::nullopt;
    return nonEmptyString(
        object->value(QLatin1String("claudeAiOauth")).toObject().value(QLatin1String("accessToken")));
}

// The credentials JSON that Claude Code keeps in the keychain, read with its keychain tool.
std::optional<QByteArray> claudeKeychainItem(const QString& tool) {
    const QFileInfo info(tool);
    if (!info.isFile() || !info.isExecutable())
        return std::nullopt;
    QProcess process;
    process.start(tool, {QStringLiteral("find-generic-password"), QStringLiteral("-s"),
                         QStringLiteral("Claude Code-credentials"), QStringLiteral("-w")});
    if (!process.waitForStarted())
        return std::nullopt;
    if (!process.waitForFinished(keychainToolDeadlineMs)) {
        process.kill();
        process.waitForFinished();
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed().toUtf8();
}

std::optional<QString> grokFileToken(double now) {
    const auto bytes = readFile(homeFile(QStringLiteral(".grok/auth.json")));
    if (!bytes)
        return std::nullopt;
    const auto entries = parseObject(*bytes);
    if (!entries)
        return std::nullopt;
    QStringList names = memberNamesInOrder(*bytes);
    if (names.isEmpty())
        names = entries->keys();
    const QString preferred = QString::fromLatin1(Credentials::xaiAuthOrigin) + QStringLiteral("::");
    std::stable_partition(names.begin(), names.end(),
                          [&](const QString& name) { return name.startsWith(preferred); });
    for (const QString& name : names) {
        const QJsonObject entry = entries->value(name).toObject();
        const auto key = nonEmptyString(entry.value(QLatin1String("key")));
        if (!key || Credentials::isExpired(entry.value(QLatin1String("expires_at")), 0, now))
            continue;
        return key;
    }
    return std::nullopt;
}

std::optional<QString> piAgentToken(double now) {
    const auto object = readObject(homeFile(QStringLiteral(".pi/agent/auth.json")));
    if (!object)
        return std::nullopt;
    const QJsonObject xai = object->value(QLatin1String("xai")).toObject();
    const auto access = nonEmptyString(xai.value(QLatin1String("access")));
    if (!access || Credentials::isExpired(xai.value(QLatin1String("expires")), 0, now))
        return std::nullopt;
    return access;
}

} // namespace

std::optional<QString> Credentials::claudeAccessToken(const QString& keychainTool) {
    // A file that exists but does not parse is the answer: the keychain is not consulted.
    if (const auto file = readFile(homeFile(QStringLiteral(".claude/.credentials.json"))))
        return tokenFromClaudeCredentials(*file);
    if (const auto item = claudeKeychainItem(keychainTool))
        return tokenFromClaudeCredentials(*item);
    return std::nullopt;
}

std::optional<CodexCredentials> Credentials::codexCredentials() {
    const auto object = readObject(homeFile(QStringLiteral(".codex/auth.json")));
    if (!object)
        return std::nullopt;
    const QJsonObject tokens = object->value(QLatin1String("tokens")).toObject();
    const auto access = nonEmptyString(tokens.value(QLatin1String("access_token")));
    if (!access)
        return std::nullopt;
    CodexCredentials credentials{*access, string(tokens.value(QLatin1String("account_id")))};
    if (!credentials.accountId) {
        if (const auto idToken = string(tokens.value(QLatin1String("id_token"))))
            credentials.accountId = accountIdFromJWT(*idToken);
    }
    return credentials;
}

std::optional<QString> Credentials::accountIdFromJWT(const QString& token) {
    const QStringList pieces = token.split(u'.', Qt::SkipEmptyParts);
    if (pieces.size() < 2)
        return std::nullopt;
    QByteArray payload = pieces[1].toLatin1();
    payload.replace('-', '+').replace('_', '/');
    while (payload.size() % 4 != 0)
        payload.append('=');
    const auto decoded = QByteArray::fromBase64Encoding(payload, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    const auto claims = parseObject(*decoded);
    if (!claims)
        return std::nullopt;
    const QJsonValue auth = claims->value(QLatin1String(openAIAuthClaim));
    if (!auth.isObject())
        return std::nullopt;
    return string(auth.toObject().value(QLatin1String("chatgpt_account_id")));
}

std::optional<QString> Credentials::grokAccessToken(double now) {
    if (auto token = grokFileToken(now))
        return token;
    return piAgentToken(now);
}

std::optional<KimiCredential> Credentials::kimiCredential(double now) {
    if (const auto object = readObject(homeFile(QStringLiteral(".kimi-code/credentials/kimi-code.json")))) {
        const auto token = nonEmptyString(object->value(QLatin1String("access_token")));
        if (token && !isExpired(object->value(QLatin1String("expires_at")), 60, now))
            return KimiCredential{*token, true};
    }
    const QString variable = qEnvironmentVariable(kimiApiKeyVariable).trimmed();
    if (!variable.isEmpty())
        return KimiCredential{variable, false};
    if (const auto stored =
            SecureCredentialStore::load(QString::fromLatin1(SecureCredentialStore::kimiCodeApiKeyAccount)))
        return KimiCredential{*stored, false};
    return std::nullopt;
}

bool Credentials::isExpired(const QJsonValue& value, double grace, double now) {
    const double deadline = now + grace;
    std::optional<double> at = number(value);
    if (at) {
        if (*at > 1e10)
            *at /= 1000;
    } else if (value.isString()) {
        at = parseLogTimestamp(value.toString().toUtf8().toStdString());
    }
    return at && *at <= deadline;
}

} // namespace glimmet
