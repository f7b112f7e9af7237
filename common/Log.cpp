#include "common/Log.h"

#include <QByteArray>

#include <mutex>
#include <unistd.h>

namespace glimmet {

namespace {

std::mutex sinkLock;
std::function<void(const QString&)> sink;

void writeAll(const QByteArray& bytes) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        left -= n;
    }
}

} // namespace

void Log::line(const QString& text) {
    {
        std::lock_guard guard(sinkLock);
        if (sink) {
            sink(text);
            return;
        }
    }
    QByteArray bytes = text.toUtf8();
    bytes.append('\n');
    writeAll(bytes);
}

void Log::setSink(std::function<void(const QString&)> newSink) {
    std::lock_guard guard(sinkLock);
    sink = std::move(newSink);
}

} // namespace glimmet
