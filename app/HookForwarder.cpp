#include "app/HookForwarder.h"

#include "common/Error.h"
#include "common/Log.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QTcpSocket>
#include <QUrl>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace glimmet {

namespace {

// The agent's whole budget is 2 s; the last 100 ms are left for the exit itself.
constexpr int deadlineMs = 1900;

struct HookEvent {
    QString event;
    QJsonValue message; // a string, or undefined
};

void warn(const QString& text) {
    Log::line(QStringLiteral("glimmet-bridge --hook: ") + text);
}

// Reads standard input to its end. Gives up at the deadline, so an agent that never closes the
// pipe cannot hold the hook.
std::optional<QByteArray> readStandardInput(const QDeadlineTimer& deadline) {
    QByteArray data;
    char buffer[65536];
    for (;;) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&input, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return data;
        data.append(buffer, n);
    }
}

// The event a hook payload stands for. Claude Code names it in "hook_event_name" (with a
// "message" on notifications); Codex's notify program reports the end of a turn as
// {"type":"agent-turn-complete", ...}. Other payloads carry nothing the bridge shows.
Result<std::optional<HookEvent>> eventOf(const QByteArray& payload) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (!document.isObject())
        return makeError(QStringLiteral("Hook"), 1,
                         QStringLiteral("the hook's payload is not a JSON object (%1)")
                             .arg(error.error == QJsonParseError::NoError ? QStringLiteral("not an object")
                                                                          : error.errorString()));
    const QJsonObject object = document.object();
    const QJsonValue message = object.value(u"message");
    if (const QJsonValue name = object.value(u"hook_event_name"); name.isString())
        return HookEvent{name.toString(), message.isString() ? message : QJsonValue(QJsonValue::Undefined)};
    if (object.value(u"type").toString() == u"agent-turn-complete")
        return HookEvent{QStringLiteral("Stop"), QJsonValue(QJsonValue::Undefined)};
    return std::nullopt;
}

// POSTs `body` to `url` and waits for the status line; returns what went wrong, or nothing.
// One blocking exchange on this thread: the hook runs on every tool call, and starting a
// network thread would cost more than the exchange itself on a busy machine.
QString post(const QUrl& url, const QByteArray& body, const QDeadlineTimer& deadline) {
    if (url.scheme() != u"http" || url.host().isEmpty())
        return QStringLiteral("not an http:// address");
    const auto remaining = [&] { return int(std::max<qint64>(deadline.remainingTime(), 1)); };
    QTcpSocket socket;
    socket.connectToHost(url.host(), quint16(url.port(80)));
    if (!socket.waitForConnected(remaining()))
        return socket.errorString();
    socket.write("POST " + url.path(QUrl::FullyEncoded).toLatin1() +
                 " HTTP/1.1\r\nHost: " + url.authority(QUrl::FullyEncoded).toLatin1() +
                 "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
                 "\r\nConnection: close\r\n\r\n" + body);
    QByteArray answer;
    while (!answer.contains("\r\n") && socket.waitForReadyRead(remaining()))
        answer += socket.readAll();
    const QByteArray statusLine = answer.left(answer.indexOf("\r\n"));
    if (!answer.contains("\r\n"))
        return socket.error() == QAbstractSocket::SocketTimeoutError ? QStringLiteral("no answer within 2 s")
                                                                     : socket.errorString();
    if (statusLine.split(' ').value(1) != "200")
        return QStringLiteral("the bridge answered \"%1\"").arg(QString::fromLatin1(statusLine));
    return {};
}

} // namespace

int runHookForwarder(int argc, char* argv[]) {
    // Tests shorten the budget (a development aid; agents never set it).
    const int budget = qEnvironmentVariableIntValue("GLIMMET_HOOK_DEADLINE_MS");
    const QDeadlineTimer deadline(budget > 0 ? std::min(budget, deadlineMs) : deadlineMs);
    if (argc < 3) {
        warn(QStringLiteral("usage: glimmet-bridge --hook AGENT [PAYLOAD]"));
        return 0;
    }
    const QString agent = QString::fromLocal8Bit(argv[2]);
    std::optional<QByteArray> payload =
        argc > 3 ? std::optional(QByteArray(argv[3])) : readStandardInput(deadline);
    if (!payload) {
        warn(QStringLiteral("no payload on standard input within 2 s"));
        return 0;
    }
    const Result<std::optional<HookEvent>> hook = eventOf(*payload);
    if (!hook) {
        warn(hook.error().description);
        return 0;
    }
    if (!*hook)
        return 0;

    // The host tells the bridge whose agent this is when the event comes from another machine.
    QJsonObject body{{QStringLiteral("agent"), agent},
                     {QStringLiteral("event"), (*hook)->event},
                     {QStringLiteral("host"), QSysInfo::machineHostName()}};
    if ((*hook)->message.isString())
        body.insert(QStringLiteral("message"), (*hook)->message);
    QString base = qEnvironmentVariable("GLIMMET_BRIDGE_URL");
    if (base.isEmpty())
        base = QStringLiteral("http://127.0.0.1:8765");
    while (base.endsWith(u'/'))
        base.chop(1);
    const QUrl url(base + QStringLiteral("/event"));
    const QCoreApplication application(argc, argv); // for name look-ups
    if (const QString failure = post(url, QJsonDocument(body).toJson(QJsonDocument::Compact), deadline);
        !failure.isEmpty())
        warn(QStringLiteral("could not deliver %1 to %2: %3").arg((*hook)->event, url.toString(), failure));
    return 0;
}

} // namespace glimmet
