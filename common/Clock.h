#pragma once

#include <QTimeZone>

#include <memory>

namespace glimmet {

// The source of "now" for every service: epoch seconds as a double and the user's time zone.
// Injected so that tests move time with a fake clock instead of sleeping. Thread-safe.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
    virtual QTimeZone timeZone() const = 0;

    // The process-wide wall clock in the system time zone.
    static std::shared_ptr<const Clock> system();
};

} // namespace glimmet
