#pragma once

#include "status/DayWindow.h"
#include "status/LogFolderWatch.h"
#include "status/SessionLogs.h"

#include <QString>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace glimmet {

// What a scanner keeps of one log between scans: the stamp it was read at, how far its
// complete lines go, and the scanner's results (with the state it needs to read on) for those
// lines and, apart, for the unterminated last line, which is read again once it grows.
template <class Scan> struct KeptLog {
    FileStamp stamp;
    std::int64_t end = 0;
    Scan lines;
    Scan tail;
    std::uint64_t seen = 0; // the walk that last found the file
};

// The per-file results of one scanner over a log folder, kept between scans: a rescan looks
// only at the files the folder watch reports as changed and reads only the bytes appended
// since the last one. A file that shrank, was replaced or changed without growing is read
// again whole, and every file when the day changes. Used by one scan at a time (the status
// service's scan queue).
template <class Scan> class KeptLogs {
public:
    explicit KeptLogs(const QString& root)
        : watch(root) {}

    struct Result {
        double maxFileTime = 0;
        std::vector<const KeptLog<Scan>*> files; // those read, in walk order
        bool changed = false;                    // anything read differs from the last call
    };

    // `scanLine(scan, reader, text)` reads one line into a file's results. Files modified
    // before `readFrom` count for their time only.
    template <class ScanLine>
    Result update(const DayWindow& day, double readFrom, double now, ScanLine&& scanLine);

private:
    template <class ScanLine>
    static bool readFile(const LogFile& file, KeptLog<Scan>& log, std::unique_ptr<LogReader>& reader,
                         ScanLine& scanLine);

    LogFolderWatch watch;
    std::unordered_map<std::string, KeptLog<Scan>> kept;
    std::optional<DayWindow> keptDay;
    Result last; // what an update without any change returns again
    std::uint64_t walks = 0;
};

template <class Scan>
template <class ScanLine>
bool KeptLogs<Scan>::readFile(const LogFile& file, KeptLog<Scan>& log, std::unique_ptr<LogReader>& reader,
                              ScanLine& scanLine) {
    FileStamp stamp;
    const int fd = openLog(file.path, stamp);
    if (fd < 0)
        return false;
    // Only appended bytes are read; anything else (and a resumed offset that no longer
    // follows a line feed) reads the file again whole.
    const bool resume = log.stamp.device == stamp.device && log.stamp.inode == stamp.inode &&
                        stamp.size > log.stamp.size && log.end <= stamp.size &&
                        (log.end == 0 || lineFeedAt(fd, log.end - 1));
    if (!resume) {
        log.lines = Scan();
        log.end = 0;
    }
    log.tail = Scan();
    if (!reader)
        reader = std::make_unique<LogReader>();
    LogReader& r = *reader;
    const auto end = r.read(
        fd, log.end, [&](std::string_view text) { scanLine(log.lines, r, text); },
        [&](std::string_view text) {
            log.tail = log.lines.continued();
            scanLine(log.tail, r, text);
        });
    closeLog(fd);
    if (!end)
        return false;
    log.end = *end;
    log.stamp = stamp;
    return true;
}

template <class Scan>
template <class ScanLine>
typename KeptLogs<Scan>::Result KeptLogs<Scan>::update(const DayWindow& day, double readFrom, double now,
                                                       ScanLine&& scanLine) {
    const bool filesChanged = watch.refresh(now);
    Result result;
    if (keptDay != day) { // today's results all depend on where the day starts
        kept.clear();
        keptDay = day;
        result.changed = true;
    } else if (!filesChanged) {
        result = last;
        result.changed = false;
        return result;
    }
    const std::uint64_t walk = ++walks;
    std::unique_ptr<LogReader> reader; // made on the first read, released at the end
    for (const LogFile* listed : watch.files()) {
        const LogFile& file = *listed;
        result.maxFileTime = std::max(result.maxFileTime, file.modified);
        if (file.modified < readFrom)
            continue;
        auto [it, inserted] = kept.try_emplace(file.path);
        KeptLog<Scan>& log = it->second;
        if (inserted || log.stamp != file.stamp) {
            result.changed = true;
            if (!readFile(file, log, reader, scanLine)) {
                kept.erase(it);
                continue;
            }
        }
        log.seen = walk;
        result.files.push_back(&log);
    }
    result.changed |=
        std::erase_if(kept, [walk](const auto& entry) { return entry.second.seen != walk; }) > 0;
    result.changed |= result.files != last.files;
    last = result;
    return result;
}

} // namespace glimmet
