#include "support/RawHttp.h"

#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QThread>

#include <sys/socket.h>

namespace glimmet::test {

namespace {

QByteArray readUntilClosed(QTcpSocket& socket, int timeoutMs, bool* closed) {
    QByteArray received;
    QDeadlineTimer deadline(timeoutMs);
    *closed = false;
    while (!deadline.hasExpired()) {
        if (socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0) {
            *closed = true;
            break;
        }
        socket.waitForReadyRead(int(std::max<qint64>(1, std::min<qint64>(100, deadline.remainingTime()))));
        received += socket.readAll();
    }
    return received;
}

} // namespace

QByteArray rawExchange(quint16 port, const QList<QByteArray>& packets, int gapMs, int timeoutMs, bool halfClose) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs))
        return {};
    for (qsizetype i = 0; i < packets.size(); ++i) {
        if (i > 0 && gapMs > 0)
            QThread::msleep(gapMs);
        socket.write(packets[i]);
        socket.waitForBytesWritten(timeoutMs);
    }
    if (halfClose)
        ::shutdown(int(socket.socketDescriptor()), SHUT_WR);
    bool closed = false;
    return readUntilClosed(socket, timeoutMs, &closed);
}

bool closedWithoutAnswer(quint16 port, const QByteArray& sent, int timeoutMs) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(sent);
    socket.waitForBytesWritten(timeoutMs);
    bool closed = false;
    const QByteArray received = readUntilClosed(socket, timeoutMs, &closed);
    return closed && received.isEmpty();
}

} // namespace glimmet::test
