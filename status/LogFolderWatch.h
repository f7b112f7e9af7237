#pragma once

#include "status/SessionLogs.h"

#include <QString>

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace glimmet {

// The session logs below one folder, kept between scans and brought up to date from what
// inotify reported since the last refresh (from the second refresh on): a folder whose entries changed is
// listed again, a log that was written to is stat'ed again, and nothing else is touched. The whole tree is
// walked at the first refresh, after the kernel's event queue overflowed, when the folder
// itself was replaced, and every `fullWalkEvery` seconds as a safety net for changes inotify
// does not report (network file systems, logs linked in from elsewhere). A folder that cannot
// be watched (the user's watch limit reached) is listed again at every refresh, and so is
// everything when inotify is unavailable. Used by one scan at a time (the status service's
// scan queue).
class LogFolderWatch {
public:
    explicit LogFolderWatch(QString root, double fullWalkEvery = 60);
    ~LogFolderWatch();

    LogFolderWatch(const LogFolderWatch&) = delete;
    LogFolderWatch& operator=(const LogFolderWatch&) = delete;

    // Brings files() up to date at `now` (epoch seconds); false when nothing changed since the
    // last call.
    bool refresh(double now);

    // Every file named "*.jsonl" below the root (hidden ones included, linked folders not
    // entered), depth first in directory order, with its modification time. Valid until the
    // next refresh.
    const std::vector<const LogFile*>& files() const { return ordered; }

private:
    struct Folder;

    void walkAll(double now);
    void list(Folder& folder);
    void watch(Folder& folder);
    void forget(Folder& folder);
    bool readEvents(std::vector<int>& relist, std::vector<std::pair<int, std::string>>& restat);
    bool restatFile(Folder& folder, const std::string& name);
    void order(const Folder& folder);

    const std::string root;
    const double fullWalkEvery;
    int notify = -1;
    std::unique_ptr<Folder> tree;
    double walkedAt = 0;
    std::unordered_map<int, Folder*> watched; // by watch descriptor
    std::unordered_set<int> added;            // every watch of the instance
    std::unordered_set<Folder*> unwatched;    // listed again at every refresh
    std::unordered_set<Folder*> withLinks;    // holding logs that are links, stat'ed at every refresh
    std::vector<const LogFile*> ordered;
};

} // namespace glimmet
