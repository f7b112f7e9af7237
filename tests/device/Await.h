#pragma once

#include "common/Error.h"
#include "monitors/MonitorFakes.h"

#include <optional>
#include <ostream>

namespace glimmet::test {

// Runs the main thread's events until `slot` holds a value; false after a generous 10 s.
template <class T> bool await(const std::optional<T>& slot) {
    return waitUntil([&] { return slot.has_value(); });
}

} // namespace glimmet::test

namespace glimmet {
inline void PrintTo(const Error& e, std::ostream* os) {
    *os << e.domain.toStdString() << ' ' << e.code << ' ' << e.description.toStdString();
}
} // namespace glimmet
