#pragma once

#include <QByteArray>
#include <QList>

namespace glimmet::test {

// Talks to a server on 127.0.0.1 over a plain socket, from the calling thread: sends each
// packet (pausing `gapMs` between them), with `halfClose` then shuts down its sending side,
// and returns everything received until the server closes the connection or `timeoutMs` passes.
QByteArray rawExchange(quint16 port, const QList<QByteArray>& packets, int gapMs = 0, int timeoutMs = 5000,
                       bool halfClose = false);

// True when the server closed the connection within `timeoutMs` without sending anything.
bool closedWithoutAnswer(quint16 port, const QByteArray& sent, int timeoutMs);

} // namespace glimmet::test
