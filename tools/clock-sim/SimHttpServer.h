#pragma once

#include "common/Error.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QTcpServer>

namespace glimmet {

class SimScreen;
class SimState;

// The stand-in clock's own HTTP interface on one address: GET /api/info, the form POSTs
// /api/display, /api/brightness, /api/pet and /api/bridge, and per sprite slot a multipart
// upload (POST /sprite/SLOT), a reset and the raw dump. One request per connection.
// Main thread; owned by main().
class SimHttpServer : public QTcpServer {
public:
    // An upload larger than this is refused.
    static constexpr qsizetype maxBodyBytes = 8 * 1024 * 1024;
    static constexpr int connectionDeadlineMs = 10000;

    struct Answer {
        int status = 200;
        QByteArray contentType = "application/json";
        QByteArray body;
    };

    SimHttpServer(SimState& state, SimScreen& screen);

    Result<void> start(const QHostAddress& address, quint16 port);

    // The answer to one request; `headerLines` as they came, after the request line.
    Answer answer(const QString& method, const QString& path, const QStringList& headerLines,
                  const QByteArray& body);

private:
    void accept();
    Answer form(const QString& route, const QByteArray& body);
    Answer upload(const QString& slot, const QStringList& headerLines, const QByteArray& body);

    SimState& state;
    SimScreen& screen;
};

} // namespace glimmet
