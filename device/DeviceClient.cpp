#include "device/DeviceClient.h"

#include "common/HttpClient.h"
#include "common/SerialQueue.h"
#include "common/Settings.h"
#include "device/SerialLink.h"

#include <QCoreApplication>
#include <QUuid>

namespace glimmet {

namespace {

const QString domain = QStringLiteral("DeviceClient");
// The clock's answers are small documents; anything longer is not the clock's.
constexpr qint64 maxAnswerBytes = 64 * 1024;
constexpr qint64 maxSpriteBytes = 8 << 20; // 255 frames of 120 x 120 take 7.3 MB
// An HTTP status error quotes this much of the clock's answer.
constexpr qsizetype quotedAnswerChars = 200;

// Sends `command` over the serial link; false when the link is not up.
bool sendOverSerial(const QMap<QString, QString>& command) {
    SerialLink* link = SerialLink::shared();
    return link && link->sendCommand(command);
}

// Schedules `completion(error)` on the main thread.
void completeOnMain(DeviceClient::Completion completion, std::optional<Error> error) {
    runOnMain([completion = std::move(completion), error = std::move(error)] { completion(error); });
}

bool keepsAsIs(char32_t c) {
    if (c == U'-' || c == U'.' || c == U'_' || c == U'~')
        return true;
    switch (QChar::category(c)) {
    case QChar::Letter_Uppercase:
    case QChar::Letter_Lowercase:
    case QChar::Letter_Titlecase:
    case QChar::Letter_Modifier:
    case QChar::Letter_Other:
    case QChar::Mark_NonSpacing:
    case QChar::Mark_SpacingCombining:
    case QChar::Mark_Enclosing:
    case QChar::Number_DecimalDigit:
        return true;
    default:
        return false;
    }
}

QByteArray percentEncoded(const QString& value) {
    QByteArray out;
    for (const char32_t c : value.toUcs4()) {
        const QByteArray bytes = QString::fromUcs4(&c, 1).toUtf8();
        if (keepsAsIs(c)) {
            out += bytes;
            continue;
        }
        for (const char byte : bytes)
            out += '%' + QByteArray::number(quint8(byte), 16).rightJustified(2, '0').toUpper();
    }
    return out;
}

} // namespace

std::optional<QUrl> DeviceClient::baseURL() {
    QString host = Settings::deviceHost().trimmed();
    if (host.isEmpty())
        return std::nullopt;
    if (!host.startsWith(QLatin1String("http")))
        host.prepend(QLatin1String("http://"));
    const QUrl url(host, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

QUrl DeviceClient::url(const QUrl& base, const QString& path) {
    QUrl url = base;
    QString prefix = base.path();
    if (!prefix.endsWith(u'/'))
        prefix += u'/';
    url.setPath(prefix + path);
    return url;
}

void DeviceClient::fetchInfo(InfoCompletion completion) {
    const auto base = baseURL();
    if (!base) {
        runOnMain([completion = std::move(completion)] {
            if (auto wired = currentWiredInfo())
                completion(*wired);
            else
                completion(std::unexpected(noHostError()));
        });
        return;
    }
    HttpRequest request;
    request.url = url(*base, QStringLiteral("api/info"));
    request.deadline = 5;
    request.maxBodyBytes = maxAnswerBytes;
    // Decoded on the network thread; the preference order is settled on the main thread,
    // where the wired record lives.
    HttpClient::shared().send(request, nullptr, [completion = std::move(completion)](HttpResponse response) {
        auto decoded = response.body.isEmpty() ? std::nullopt : decodeInfo(response.body);
        runOnMain([completion, decoded = std::move(decoded), error = std::move(response.error)] {
            if (decoded)
                return completion(*decoded);
            if (auto wired = currentWiredInfo())
                return completion(*wired);
            completion(std::unexpected(error ? *error : badResponseError()));
        });
    });
}

void DeviceClient::setDisplayMode(const QString& mode, Completion completion) {
    applySetting({{QStringLiteral("display"), mode}}, QStringLiteral("api/display"),
                 {{QStringLiteral("mode"), mode}}, std::move(completion));
}

void DeviceClient::setBrightness(std::int64_t level, Completion completion) {
    const QString text = QString::number(level);
    applySetting({{QStringLiteral("brightness"), text}}, QStringLiteral("api/brightness"),
                 {{QStringLiteral("level"), text}}, std::move(completion));
}

void DeviceClient::setPetAppearance(const QString& preset, std::int64_t scale, Completion completion) {
    const QString text = QString::number(scale);
    applySetting({{QStringLiteral("pet_preset"), preset}, {QStringLiteral("pet_scale"), text}},
                 QStringLiteral("api/pet"),
                 {{QStringLiteral("preset"), preset}, {QStringLiteral("scale"), text}},
                 std::move(completion));
}

void DeviceClient::setBridgeHost(const QString& host, Completion completion) {
    applySetting({{QStringLiteral("bridge"), host}}, QStringLiteral("api/bridge"),
                 {{QStringLiteral("host"), host}}, std::move(completion));
}

void DeviceClient::applySetting(const QMap<QString, QString>& command, const QString& path,
                                const QMap<QString, QString>& fields, Completion completion) {
    // The clock does not acknowledge serial commands: a command written is a command done.
    if (sendOverSerial(command))
        return completeOnMain(std::move(completion), std::nullopt);
    postForm(path, fields, std::move(completion));
}

void DeviceClient::postForm(const QString& path, const QMap<QString, QString>& fields,
                            Completion completion) {
    const auto base = baseURL();
    if (!base)
        return completion(noHostError());
    HttpRequest request;
    request.method = "POST";
    request.url = url(*base, path);
    request.deadline = 8;
    request.maxBodyBytes = maxAnswerBytes;
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    request.body = formBody(fields);
    run(std::move(request), std::move(completion));
}

void DeviceClient::run(HttpRequest request, Completion completion) {
    HttpClient::shared().send(std::move(request), QCoreApplication::instance(),
                              [completion = std::move(completion)](HttpResponse response) {
                                  if (response.error)
                                      return completion(response.error);
                                  if (response.status < 200 || response.status > 299)
                                      return completion(httpStatusError(response.status, response.body));
                                  completion(std::nullopt);
                              });
}

void DeviceClient::fetchSpriteRaw(const QString& slot, DataCompletion completion) {
    const auto base = baseURL();
    if (!base)
        return completion(std::unexpected(noHostError()));
    HttpRequest request;
    request.url = url(*base, QStringLiteral("sprite/") + slot + QStringLiteral("/raw"));
    request.deadline = 30;
    request.maxBodyBytes = maxSpriteBytes;
    HttpClient::shared().send(std::move(request), QCoreApplication::instance(),
                              [completion = std::move(completion)](HttpResponse response) {
                                  if (response.error)
                                      return completion(std::unexpected(*response.error));
                                  if (response.status != 200 || response.body.size() < 2)
                                      return completion(std::unexpected(badResponseError()));
                                  completion(std::move(response.body));
                              });
}

void DeviceClient::uploadGif(const QByteArray& gif, const QString& slot, Completion completion) {
    const auto base = baseURL();
    if (!base)
        return completion(noHostError());
    const QByteArray boundary = "glimmet-" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces).toUpper();
    HttpRequest request;
    request.method = "POST";
    request.url = url(*base, QStringLiteral("sprite/") + slot);
    request.deadline = 60;
    request.maxBodyBytes = maxAnswerBytes;
    request.headers = {{"Content-Type", "multipart/form-data; boundary=" + boundary}};
    request.body = multipartBody(gif, boundary);
    run(std::move(request), std::move(completion));
}

void DeviceClient::resetSprite(const QString& slot, Completion completion) {
    postForm(QStringLiteral("sprite/") + slot + QStringLiteral("/reset"), {}, std::move(completion));
}

void DeviceClient::acceptWiredInfo(const QByteArray& payload) {
    auto info = decodeInfo(payload);
    if (!info)
        return;
    info->wired = true;
    wiredInfo = *info;
    if (!info->ip.isEmpty() && info->ip != u"0.0.0.0")
        Settings::setDeviceLastSeen(info->ip);
}

bool DeviceClient::serialLinked() {
    const SerialLink* link = SerialLink::shared();
    return link && link->linked();
}

std::optional<DeviceInfo> DeviceClient::currentWiredInfo() {
    return serialLinked() ? wiredInfo : std::nullopt;
}

Error DeviceClient::noHostError() {
    return {domain, 1, QStringLiteral("未设置设备地址，请先在菜单里填写设备 IP")};
}

Error DeviceClient::badResponseError() {
    return {domain, 2, QStringLiteral("设备响应解析失败")};
}

Error DeviceClient::httpStatusError(int status, const QByteArray& body) {
    QString quoted = QString::fromUtf8(body);
    if (quoted.size() > quotedAnswerChars) {
        // Cut between characters, never inside a surrogate pair.
        qsizetype cut = quotedAnswerChars;
        if (quoted.at(cut - 1).isHighSurrogate())
            --cut;
        quoted = quoted.left(cut) + u'…';
    }
    return {domain, status, QStringLiteral("设备返回 HTTP ") + QString::number(status) + u' ' + quoted};
}

QByteArray DeviceClient::formBody(const QMap<QString, QString>& fields) {
    QByteArrayList pairs;
    for (auto it = fields.begin(); it != fields.end(); ++it)
        pairs += it.key().toUtf8() + '=' + percentEncoded(it.value());
    return pairs.join('&');
}

QByteArray DeviceClient::multipartBody(const QByteArray& gif, const QByteArray& boundary) {
    return "--" + boundary + "\r\n" +
           "Content-Disposition: form-data; name=\"file\"; filename=\"pet.gif\"\r\n" +
           "Content-Type: image/gif\r\n\r\n" + gif + "\r\n--" + boundary + "--\r\n";
}

} // namespace glimmet
