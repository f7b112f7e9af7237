#pragma once

#include "common/Clock.h"

#include <QByteArray>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

#include <sys/stat.h>

class QFileSystemWatcher;
class QTimer;

namespace glimmet {

class NetSpeedMonitor;
class StatusService;

// The USB serial line to a plugged-in clock: finds a candidate port in the serial folder,
// greets the clock until it answers with "#DEVICE", then pushes the status and network
// documents every 2 s and carries the device client's setting commands. Runs on the main
// thread: a 0.25 s timer while a port is open or waits to be tried, otherwise asleep until the
// serial folder changes. The app owns the one instance, which shared() finds.
class SerialLink {
public:
    // Paths of the ports whose USB ids are those of the clock's own USB interface.
    using NativePortSource = std::function<QSet<QString>()>;

    SerialLink(std::weak_ptr<StatusService> service, std::weak_ptr<NetSpeedMonitor> netMonitor,
               std::shared_ptr<const Clock> clock = Clock::system(), QString folder = serialFolder(),
               NativePortSource nativePorts = espressifNativePorts);
    ~SerialLink();

    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // The link that exists, or none.
    static SerialLink* shared();

    // "/dev", or the folder named by GLIMMET_SERIAL_DIR (a development aid: tests and the
    // stand-in clock link a pty there).
    static QString serialFolder();
    // Ports whose USB vendor and product ids are 303A:1001 (QSerialPortInfo).
    static QSet<QString> espressifNativePorts();

    // A received line that is the clock's "#DEVICE" report: its trimmed text, and the state
    // document after the first space (empty when there is none). None for any other line and
    // for bytes that are not UTF-8.
    struct DeviceLine {
        QString text;
        QByteArray info;
    };
    static std::optional<DeviceLine> parseDeviceLine(const QByteArray& bytes);

    // Looks for a port now and whenever the serial folder changes, and ticks every 0.25 s
    // while there is a port to talk to or to try (or the folder cannot be watched). Call once.
    void start();
    bool ticking() const;
    // One step of the link: scan for a port, or read what arrived and send what is due.
    void tick();

    // Writes "#CMD " and the command as a JSON object with sorted keys. False only when the
    // link is not up; a failed write still counts as sent (the clock never acknowledges).
    bool sendCommand(const QMap<QString, QString>& command);

    bool linked() const { return _linked; }
    const QString& portPath() const { return _portPath; }

    static constexpr qsizetype receiveCap = 16384;

private:
    void step();
    void scanAndOpen();
    void refreshCandidates();
    bool openPort(const QString& path);
    void closePort();
    void readPending();
    void handleLine(const QByteArray& bytes);
    void send(const QByteArray& data);
    void flush();
    QByteArray statusMessage() const;
    QByteArray netMessage() const;

    const std::weak_ptr<StatusService> service;
    const std::weak_ptr<NetSpeedMonitor> netMonitor;
    const std::shared_ptr<const Clock> clock;
    const QString folder;
    const NativePortSource nativePorts;

    int fd = -1;
    QString _portPath;
    bool _linked = false;
    double openedAt;
    double lastHelloAt;
    double lastStatusAt;
    double lastNetAt;
    QByteArray rxBuf;
    // The unwritten tail of earlier messages: written before anything new, so that the clock
    // never receives a message cut short and glued to the next one.
    QByteArray txPending;
    std::unique_ptr<QTimer> timer;
    std::unique_ptr<QFileSystemWatcher> folderWatch;
    int candidateCursor = 0;

    // The candidate names (sorted) and the folder state they were listed from.
    QStringList candidates;
    struct timespec listedMtime = {-1, 0};
    ino_t listedInode = 0;
    bool listingSettled = false;
    bool recheckWhenSettled = false;
    QStringList listedNames;
};

} // namespace glimmet
