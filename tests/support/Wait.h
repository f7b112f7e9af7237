#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <gtest/gtest.h>

#include <optional>

namespace glimmet::test {

// Turns the calling thread's event loop until `ready()` holds; false after the deadline.
template <class Ready> bool waitUntil(Ready&& ready, int deadlineMs = 10000) {
    for (QDeadlineTimer deadline(deadlineMs); !ready() && !deadline.hasExpired();)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return ready();
}

// Runs one completion-style operation and returns what its completion got (a generous 10 s).
template <class T, class Operation> T completion(Operation operation) {
    std::optional<T> result;
    operation([&](T value) { result = std::move(value); });
    EXPECT_TRUE(waitUntil([&] { return result.has_value(); })) << "no completion";
    return result.value_or(T{});
}

} // namespace glimmet::test
