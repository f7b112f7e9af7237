#pragma once

#include "common/Error.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

namespace glimmet {

class SimScreen;
class SimState;

// The stand-in clock's USB serial line: a pseudo-terminal whose device is linked into a
// folder as "ttyUSB-sim". Answers "#HELLO" and "#GETINFO" with "#DEVICE " and the info
// document, logs "#STATUS", "#NET" and "#CMD" lines and applies the commands. Main thread;
// owned by main(). Closing it closes the line and removes the link.
class SimSerialPort : public QObject {
public:
    static constexpr qsizetype maxLineBytes = 16 * 1024;

    SimSerialPort(SimState& state, SimScreen& screen);
    ~SimSerialPort() override;

    // Opens the pty and links it as `folder`/ttyUSB-sim (replacing a stale link).
    Result<QString> open(const QString& folder);

private:
    void readPending();
    void handle(const QByteArray& line);
    void command(const QByteArray& json);
    void send(const QByteArray& line);

    SimState& state;
    SimScreen& screen;
    int master = -1;
    int slave = -1; // held open so the line stays up while the bridge reopens its end
    QString linkPath;
    QSocketNotifier* notifier = nullptr;
    QByteArray pending;
};

} // namespace glimmet
