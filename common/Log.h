#pragma once

#include <QString>

#include <functional>

namespace glimmet {

// Log lines on standard error, each written whole with one write so that lines from
// different threads never interleave. Callers pass the tagged text ("[bridge] ...").
class Log {
public:
    static void line(const QString& text);

    // Tests capture lines instead of writing them; pass an empty function to restore stderr.
    static void setSink(std::function<void(const QString&)> sink);
};

} // namespace glimmet
