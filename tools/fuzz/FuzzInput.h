#pragma once

// Helpers shared by the libFuzzer targets of this folder. A target is one file fuzz_NAME.cpp
// defining LLVMFuzzerTestOneInput (seed inputs in corpus/NAME/); the CMake file and
// tools/fuzz/run pick it up by its name.
#include <QByteArray>
#include <QGuiApplication>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace glimmet::fuzz {

inline QByteArray bytes(const uint8_t* data, size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

// Consumes the input front to back: fixed-size numbers, then length-prefixed pieces.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size)
        : data(data)
        , size(size) {}

    uint8_t byte() { return offset < size ? data[offset++] : 0; }
    double number() {
        uint32_t raw = 0;
        for (int i = 0; i < 4; ++i)
            raw = raw << 8 | byte();
        return double(raw) / 16.0;
    }
    // The next piece: a length byte, then up to that many bytes.
    QByteArray piece() {
        const size_t length = std::min<size_t>(byte(), size - offset);
        const QByteArray out(reinterpret_cast<const char*>(data + offset), qsizetype(length));
        offset += length;
        return out;
    }
    QByteArray rest() {
        const QByteArray out(reinterpret_cast<const char*>(data + offset), qsizetype(size - offset));
        offset = size;
        return out;
    }

private:
    const uint8_t* data;
    size_t size;
    size_t offset = 0;
};

// A GUI application on the offscreen platform, for targets that decode images or draw text.
inline void startOffscreenApplication() {
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static auto* app = new QGuiApplication(argc, argv); // lives until the process ends
    (void)app;
}

} // namespace glimmet::fuzz
