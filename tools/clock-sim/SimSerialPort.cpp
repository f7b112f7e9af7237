#include "tools/clock-sim/SimSerialPort.h"

#include "common/Json.h"
#include "common/Log.h"
#include "tools/clock-sim/SimScreen.h"
#include "tools/clock-sim/SimState.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace glimmet {

SimSerialPort::SimSerialPort(SimState& state, SimScreen& screen)
    : state(state)
    , screen(screen) {}

SimSerialPort::~SimSerialPort() {
    delete notifier;
    if (!linkPath.isEmpty())
        QFile::remove(linkPath);
    for (int fd : {master, slave})
        if (fd >= 0)
            ::close(fd);
}

Result<QString> SimSerialPort::open(const QString& folder) {
    auto failure = [](const QString& what) {
        return std::unexpected(
            Error{QStringLiteral("SimSerialPort"), errno,
                  what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno))});
    };
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return failure(QStringLiteral("cannot open a pty"));
    // Raw from the start: no echo of what the sim writes before the bridge sets the line up.
    termios attributes{};
    if (::tcgetattr(slave, &attributes) == 0) {
        ::cfmakeraw(&attributes);
        ::tcsetattr(slave, TCSANOW, &attributes);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);

    const QString path = folder + QStringLiteral("/ttyUSB-sim");
    if (QFileInfo(path).isSymLink())
        QFile::remove(path);
    if (::symlink(name, QFile::encodeName(path).constData()) != 0)
        return failure(QStringLiteral("cannot link ") + path);
    linkPath = path;
    notifier = new QSocketNotifier(master, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] { readPending(); });
    Log::line(QStringLiteral("[sim] serial line %1 -> %2").arg(path, QString::fromLocal8Bit(name)));
    return QString::fromLocal8Bit(name);
}

void SimSerialPort::readPending() {
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(master, chunk, sizeof chunk)) > 0) { // ends at EAGAIN; our open slave keeps EIO away
        pending.append(chunk, n);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end).trimmed();
            pending.remove(0, end + 1);
            if (!line.isEmpty())
                handle(line);
        }
        if (pending.size() > maxLineBytes) {
            Log::line(QStringLiteral("[sim] serial dropped %1 bytes without a line end").arg(pending.size()));
            pending.clear();
        }
    }
}

void SimSerialPort::handle(const QByteArray& line) {
    const qsizetype space = line.indexOf(' ');
    const QByteArray keyword = space < 0 ? line : line.left(space);
    const QByteArray payload = space < 0 ? QByteArray() : line.mid(space + 1);
    if (keyword == "#HELLO" || keyword == "#GETINFO") {
        Log::line(QStringLiteral("[sim] serial got ") + QString::fromLatin1(keyword));
        return send("#DEVICE " + state.infoJson(true) + '\n');
    }
    if (keyword == "#STATUS" || keyword == "#NET" || keyword == "#CMD") {
        const auto document = parseObject(payload);
        Log::line(QStringLiteral("[sim] serial got %1 %2")
                      .arg(QString::fromLatin1(keyword), QString::fromUtf8(payload)));
        if (!document)
            return Log::line(QStringLiteral("[sim] serial %1 payload is not a JSON object")
                                 .arg(QString::fromLatin1(keyword)));
        if (keyword == "#STATUS") {
            state.noteStatus(*document);
            screen.showStatus(payload);
        } else if (keyword == "#CMD") {
            command(payload);
        }
        return;
    }
    Log::line(QStringLiteral("[sim] serial ignored ") + QString::fromUtf8(line.left(80)));
}

// Applies every setting in a command object; unknown keys are logged and skipped.
void SimSerialPort::command(const QByteArray& json) {
    const QJsonObject object = parseObject(json).value_or(QJsonObject());
    const QString via = QStringLiteral("serial");
    auto text = [&object](const char* key) { return object[QLatin1String(key)].toString(); };
    Result<void> result;
    for (const QString& key : object.keys()) {
        if (key == u"display")
            result = state.setDisplayMode(text("display"), via);
        else if (key == u"brightness")
            result = state.setBrightness(text("brightness"), via);
        else if (key == u"pet_preset")
            result = state.setPetAppearance(text("pet_preset"), text("pet_scale"), via);
        else if (key == u"bridge")
            result = state.setBridgeHost(text("bridge"), via);
        else if (key != u"pet_scale")
            Log::line(QStringLiteral("[sim] serial command key ignored: ") + key);
        if (!result)
            Log::line(QStringLiteral("[sim] serial command refused: ") + result.error().description);
        result = {};
    }
}

void SimSerialPort::send(const QByteArray& line) {
    const ssize_t n = ::write(master, line.constData(), size_t(line.size()));
    if (n != line.size())
        Log::line(QStringLiteral("[sim] serial write failed: ") +
                  QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace glimmet
