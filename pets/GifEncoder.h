#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>

#include <optional>

namespace glimmet {

// Writes opaque frames as an endlessly looping GIF with giflib. Each frame gets its own
// palette: its exact colours when it has at most 256, else giflib's median-cut quantiser.
// Pure and thread-safe; used on pool threads.
class GifEncoder {
public:
    GifEncoder() = delete;

    // Frames of one size, each shown for delayCs hundredths of a second; none when there are
    // no frames, their sizes differ, or giflib fails.
    static std::optional<QByteArray> encode(const QList<QImage>& frames, int delayCs);
};

} // namespace glimmet
