#pragma once

#include "common/Error.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <optional>
#include <ostream>

namespace glimmet::test {

// Runs the main event loop until `slot` holds a value (a generous deadline, never a sleep to
// let time pass); returns whether it arrived.
template <class T> bool await(const std::optional<T>& slot, int deadlineMs = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!slot && timer.elapsed() < deadlineMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    return slot.has_value();
}

} // namespace glimmet::test

namespace glimmet {
inline void PrintTo(const Error& e, std::ostream* os) {
    *os << e.domain.toStdString() << ' ' << e.code << ' ' << e.description.toStdString();
}
} // namespace glimmet
