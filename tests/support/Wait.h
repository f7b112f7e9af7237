#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>

namespace glimmet::test {

// Turns the calling thread's event loop until `ready()` holds; false after the deadline.
template <class Ready> bool waitUntil(Ready&& ready, int deadlineMs = 10000) {
    for (QDeadlineTimer deadline(deadlineMs); !ready() && !deadline.hasExpired();)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return ready();
}

} // namespace glimmet::test
