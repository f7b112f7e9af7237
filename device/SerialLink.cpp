#include "device/SerialLink.h"

#include "common/Log.h"
#include "device/DeviceClient.h"
#include "monitors/NetSpeedMonitor.h"
#include "monitors/SystemStatsMonitor.h"
#include "status/StatusService.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QStringDecoder>
#include <QTimer>

#include <cmath>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace glimmet {

namespace {

SerialLink* sharedLink = nullptr;

constexpr double distantPast = -std::numeric_limits<double>::infinity();
constexpr double helloEvery = 3;
constexpr double getInfoEvery = 10;
constexpr double pushEvery = 2;
constexpr double answerTimeout = 30;
// A folder changed this recently may change again within the same time stamp: it is listed
// again on every tick until it has settled.
constexpr double settleSeconds = 2;
// Reads per tick: a line at 115200 baud fills less than one chunk in a tick, and a peer
// that writes without pause cannot hold the main thread.
constexpr int maxReadsPerTick = 64;
constexpr qsizetype transmitCap = 64 * 1024;

bool isCandidateName(const QString& name) {
    return name.startsWith(QLatin1String("cu.usbserial")) ||
           name.startsWith(QLatin1String("cu.wchusbserial")) || name.startsWith(QLatin1String("ttyUSB"));
}

double seconds(const timespec& t) {
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

bool hardWriteError(int error) {
    return error == EIO || error == ENXIO || error == EBADF || error == ENODEV;
}

} // namespace

SerialLink::SerialLink(std::weak_ptr<StatusService> service, std::weak_ptr<NetSpeedMonitor> netMonitor,
                       std::shared_ptr<const Clock> clock, QString folder, NativePortSource nativePorts)
    : service(std::move(service))
    , netMonitor(std::move(netMonitor))
    , clock(std::move(clock))
    , folder(std::move(folder))
    , nativePorts(std::move(nativePorts))
    , openedAt(distantPast)
    , lastHelloAt(distantPast)
    , lastStatusAt(distantPast)
    , lastNetAt(distantPast) {
    sharedLink = this;
}

SerialLink::~SerialLink() {
    if (sharedLink == this)
        sharedLink = nullptr;
    if (fd >= 0)
        ::close(fd);
}

SerialLink* SerialLink::shared() {
    return sharedLink;
}

QString SerialLink::serialFolder() {
    const QString configured = qEnvironmentVariable("GLIMMET_SERIAL_DIR");
    return configured.isEmpty() ? QStringLiteral("/dev") : configured;
}

QSet<QString> SerialLink::espressifNativePorts() {
    QSet<QString> paths;
    for (const QSerialPortInfo& port : QSerialPortInfo::availablePorts()) {
        if (port.hasVendorIdentifier() && port.vendorIdentifier() == 0x303A && port.hasProductIdentifier() &&
            port.productIdentifier() == 0x1001)
            paths.insert(port.systemLocation());
    }
    return paths;
}

void SerialLink::start() {
    timer = std::make_unique<QTimer>();
    timer->setInterval(250);
    QObject::connect(timer.get(), &QTimer::timeout, [this] { step(); });
    folderWatch = std::make_unique<QFileSystemWatcher>();
    QObject::connect(folderWatch.get(), &QFileSystemWatcher::directoryChanged, [this] { step(); });
    step();
}

bool SerialLink::ticking() const {
    return timer && timer->isActive();
}

void SerialLink::step() {
    tick();
    // A folder that cannot be watched (or not yet, or not again) is looked at on every tick.
    const bool watched =
        !folderWatch->directories().isEmpty() || (QFileInfo(folder).isDir() && folderWatch->addPath(folder));
    // Nothing to do until the folder changes: no port open, none to try again, and the
    // folder's last change has settled (the USB ids of a new port may come a moment later).
    const bool idle = fd < 0 && candidates.isEmpty() && listingSettled && watched;
    if (idle)
        timer->stop();
    else if (!timer->isActive())
        timer->start();
}

void SerialLink::tick() {
    if (fd < 0)
        return scanAndOpen();
    readPending();
    flush();
    if (fd < 0)
        return;
    const double now = clock->now();
    if (!_linked) {
        if (now - openedAt > answerTimeout)
            return closePort();
        if (now - lastHelloAt > helloEvery) {
            lastHelloAt = now;
            send("#HELLO\n");
        }
        return;
    }
    if (now - lastHelloAt > getInfoEvery) {
        lastHelloAt = now;
        send("#GETINFO\n");
    }
    if (now - lastStatusAt > pushEvery) {
        lastStatusAt = now;
        send(statusMessage());
    }
    if (now - lastNetAt > pushEvery) {
        lastNetAt = now;
        send(netMessage());
    }
}

void SerialLink::refreshCandidates() {
    const QByteArray path = folder.toLocal8Bit();
    struct stat st {};
    if (::stat(path.constData(), &st) != 0) {
        candidates.clear();
        listedNames.clear();
        listingSettled = false;
        return;
    }
    const bool unchanged = st.st_ino == listedInode && st.st_mtim.tv_sec == listedMtime.tv_sec &&
                           st.st_mtim.tv_nsec == listedMtime.tv_nsec;
    if (listingSettled && unchanged)
        return;
    // A folder stamped well in the future (a clock set back) counts as settled.
    listingSettled = std::abs(clock->now() - seconds(st.st_mtim)) > settleSeconds;
    listedInode = st.st_ino;
    listedMtime = st.st_mtim;

    QStringList names;
    if (DIR* dir = ::opendir(path.constData())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.')
                names.append(QString::fromLocal8Bit(entry->d_name));
        }
        ::closedir(dir);
    }
    names.sort();
    // USB ids are read when the names change, and once more when a change has settled (the
    // ids of a port just plugged in may be published a moment after its device node).
    const bool namesChanged = names != listedNames;
    if (!namesChanged && !(listingSettled && recheckWhenSettled))
        return;
    recheckWhenSettled = !listingSettled;
    listedNames = names;
    const QSet<QString> native = nativePorts ? nativePorts() : QSet<QString>();
    const QString prefix = folder.endsWith(u'/') ? folder : folder + u'/';
    candidates.clear();
    for (const QString& name : names) {
        if (isCandidateName(name) || native.contains(prefix + name))
            candidates.append(name);
    }
}

void SerialLink::scanAndOpen() {
    refreshCandidates();
    const int n = int(candidates.size());
    if (n == 0) {
        candidateCursor = 0;
        return;
    }
    const QString prefix = folder.endsWith(u'/') ? folder : folder + u'/';
    const int start = candidateCursor % n;
    for (int i = 0; i < n; ++i) {
        const int idx = (start + i) % n;
        if (openPort(prefix + candidates[idx])) {
            candidateCursor = (idx + 1) % n;
            return;
        }
    }
    candidateCursor = (start + 1) % n;
}

bool SerialLink::openPort(const QString& path) {
    const int port = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (port < 0)
        return false;
    termios attributes{};
    // Anything that is not a terminal (a stray file with a matching name) is no port.
    if (::tcgetattr(port, &attributes) != 0) {
        ::close(port);
        return false;
    }
    ::cfmakeraw(&attributes);
    ::cfsetispeed(&attributes, B115200);
    ::cfsetospeed(&attributes, B115200);
    attributes.c_cflag |= CLOCAL | CREAD;
    attributes.c_cflag &= ~(HUPCL | CRTSCTS);
    ::tcsetattr(port, TCSANOW, &attributes);
    // Keeps the clock from resetting on open; a port without modem lines (a pty) refuses
    // the request and is used all the same.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(port, TIOCMBIC, &lines);

    fd = port;
    _portPath = path;
    _linked = false;
    openedAt = clock->now();
    lastHelloAt = distantPast;
    rxBuf.clear();
    txPending.clear();
    Log::line(QStringLiteral("[serial] trying ") + path);
    return true;
}

void SerialLink::closePort() {
    if (fd >= 0)
        ::close(fd);
    if (_linked || fd >= 0)
        Log::line(QStringLiteral("[serial] closed ") + _portPath);
    fd = -1;
    _portPath.clear();
    _linked = false;
    txPending.clear();
}

void SerialLink::readPending() {
    char chunk[4096];
    bool ended = false;
    for (int reads = 0; reads < maxReadsPerTick; ++reads) {
        const ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count > 0) {
            rxBuf.append(chunk, count);
            if (rxBuf.size() > receiveCap)
                rxBuf.clear();
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        ended = count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        break;
    }
    // Lines that arrived before a hang-up still count.
    qsizetype end;
    while ((end = rxBuf.indexOf('\n')) >= 0) {
        const QByteArray line = rxBuf.left(end);
        rxBuf.remove(0, end + 1);
        handleLine(line);
    }
    if (ended)
        closePort();
}

std::optional<SerialLink::DeviceLine> SerialLink::parseDeviceLine(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8);
    DeviceLine line{QString(decoder(bytes)).trimmed(), {}};
    if (decoder.hasError() || !line.text.startsWith(QLatin1String("#DEVICE")))
        return std::nullopt;
    if (const qsizetype space = line.text.indexOf(u' '); space >= 0)
        line.info = line.text.mid(space + 1).toUtf8();
    return line;
}

void SerialLink::handleLine(const QByteArray& bytes) {
    const auto line = parseDeviceLine(bytes);
    if (!line)
        return;
    if (!line->info.isEmpty())
        DeviceClient::acceptWiredInfo(line->info);
    if (!_linked && fd >= 0) {
        _linked = true;
        lastStatusAt = distantPast;
        lastNetAt = distantPast;
        Log::line(QStringLiteral("[serial] linked ") + _portPath + QStringLiteral(": ") + line->text);
    }
}

bool SerialLink::sendCommand(const QMap<QString, QString>& command) {
    if (!_linked)
        return false;
    QJsonObject object; // keeps its keys sorted
    for (auto it = command.begin(); it != command.end(); ++it)
        object.insert(it.key(), it.value());
    send("#CMD " + QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
    return true;
}

void SerialLink::send(const QByteArray& data) {
    if (fd < 0)
        return;
    // A message that does not fit behind the unwritten tail is dropped whole.
    if (txPending.size() + data.size() > transmitCap)
        return;
    txPending += data;
    flush();
}

void SerialLink::flush() {
    if (fd < 0 || txPending.isEmpty())
        return;
    const ssize_t written = ::write(fd, txPending.constData(), size_t(txPending.size()));
    if (written >= 0)
        txPending.remove(0, written);
    else if (hardWriteError(errno))
        closePort();
}

QByteArray SerialLink::statusMessage() const {
    const auto status = service.lock();
    return "#STATUS " + (status ? status->snapshot(false).jsonData() : QByteArrayLiteral("{}")) + '\n';
}

QByteArray SerialLink::netMessage() const {
    const auto net = netMonitor.lock();
    if (!net)
        return "#NET {}\n";
    const SystemStatsMonitor::Load load = SystemStatsMonitor::shared()->snapshot();
    return "#NET " + net->jsonData(load.cpu, load.mem) + '\n';
}

} // namespace glimmet
