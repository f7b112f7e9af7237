#pragma once

// Runs one session-log scan over the fuzz input, read from a file as the scanners read logs:
// `scan(reader, line, day)` for each of its lines.
#include "status/DayWindow.h"
#include "status/SessionLogs.h"

#include <QDir>
#include <QTemporaryFile>

#include <cstdio>

namespace glimmet::fuzz {

template <class Scan> void scanLogFile(const uint8_t* data, size_t size, Scan scan) {
    static const QString path = [] {
        QTemporaryFile file(QDir::tempPath() + QStringLiteral("/fuzz-log-XXXXXX.jsonl"));
        file.setAutoRemove(false);
        file.open();
        return file.fileName();
    }();
    static LogReader reader;
    std::FILE* file = std::fopen(path.toLocal8Bit().constData(), "wb");
    if (!file)
        return;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    FileStamp stamp;
    const int fd = openLog(path.toStdString(), stamp);
    if (fd < 0)
        return;
    // A day that contains the seeds' timestamps (2026-05-28 in UTC).
    const DayWindow day{1779926460.0, 1780012800.0};
    (void)reader.read(
        fd, 0, [&](std::string_view line) { scan(reader, line, day); }, [](std::string_view) {});
    closeLog(fd);
}

} // namespace glimmet::fuzz
