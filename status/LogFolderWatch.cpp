#include "status/LogFolderWatch.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace glimmet {

struct LogFolderWatch::Folder {
    struct Entry {
        std::unique_ptr<Folder> folder; // a subfolder, or else a log:
        LogFile file;
        bool linked = false; // a link to the log, whose writes inotify does not report here
    };

    std::string path;
    dev_t device = 0;
    ino_t inode = 0;            // 0 while the folder cannot be read
    int wd = -1;                // its watch, or -1
    std::vector<Entry> entries; // in directory order
};

namespace {

constexpr std::uint32_t folderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                       IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool isLogName(std::string_view name) {
    // "x.jsonl" has the extension; a bare ".jsonl" is a hidden file without one.
    return name.size() > 6 && name.ends_with(".jsonl");
}

std::string_view nameOf(const std::string& path) {
    return std::string_view(path).substr(path.rfind('/') + 1);
}

void setTimes(LogFile& file, const struct stat& st) {
    const std::int64_t ms = std::int64_t(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1'000'000;
    file.modified = double(ms) / 1000.0;
    file.stamp = {st.st_dev, st.st_ino, std::int64_t(st.st_size),
                  std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
    file.changedNs = std::int64_t(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
}

} // namespace

LogFolderWatch::LogFolderWatch(QString root, double fullWalkEvery)
    : root(QFile::encodeName(root).toStdString())
    , fullWalkEvery(fullWalkEvery) {}

LogFolderWatch::~LogFolderWatch() {
    if (notify >= 0)
        ::close(notify);
}

bool LogFolderWatch::refresh(double now) {
    if (!tree || notify < 0 || now - walkedAt >= fullWalkEvery || now < walkedAt) {
        walkAll(now);
        return true;
    }
    // The root replaced (or made, or a link to it pointed elsewhere): nothing kept holds.
    struct stat st {};
    const bool present = ::stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (present ? st.st_dev != tree->device || st.st_ino != tree->inode : tree->inode != 0) {
        walkAll(now);
        return true;
    }
    std::vector<int> relist;
    std::vector<std::pair<int, std::string>> restat;
    if (!readEvents(relist, restat)) {
        walkAll(now);
        return true;
    }

    bool changed = false;
    bool reordered = false;
    std::sort(relist.begin(), relist.end());
    relist.erase(std::unique(relist.begin(), relist.end()), relist.end());
    for (const int wd : relist) {
        if (const auto it = watched.find(wd); it != watched.end()) {
            list(*it->second);
            reordered = true;
        }
    }
    std::sort(restat.begin(), restat.end());
    restat.erase(std::unique(restat.begin(), restat.end()), restat.end());
    for (const auto& [wd, name] : restat) {
        const auto it = watched.find(wd);
        if (it == watched.end() || std::binary_search(relist.begin(), relist.end(), wd))
            continue;
        Folder& folder = *it->second;
        const auto entry = std::find_if(folder.entries.begin(), folder.entries.end(), [&](const auto& e) {
            return !e.folder && nameOf(e.file.path) == name;
        });
        if (entry == folder.entries.end())
            continue; // not a log this folder lists: its own creation event lists it
        struct stat file {};
        if (::stat(entry->file.path.c_str(), &file) != 0 || S_ISDIR(file.st_mode)) {
            list(folder);
            reordered = true;
            continue;
        }
        const LogFile before = entry->file;
        setTimes(entry->file, file);
        changed |= entry->file.stamp != before.stamp || entry->file.changedNs != before.changedNs;
    }
    // What inotify does not report: folders without a watch, and logs linked in.
    for (Folder* folder : std::vector(unwatched.begin(), unwatched.end())) {
        if (unwatched.contains(folder)) { // not dropped by listing another one
            list(*folder);
            reordered = true;
        }
    }
    for (Folder* folder : withLinks) {
        for (Folder::Entry& entry : folder->entries) {
            struct stat file {};
            if (!entry.linked || ::stat(entry.file.path.c_str(), &file) != 0)
                continue;
            const LogFile before = entry.file;
            setTimes(entry.file, file);
            changed |= entry.file.stamp != before.stamp || entry.file.changedNs != before.changedNs;
        }
    }
    if (reordered) {
        ordered.clear();
        order(*tree);
    }
    return changed || reordered;
}

void LogFolderWatch::walkAll(double now) {
    // A tree read once (a cold scan) needs no watches: they come with the second walk.
    if (tree && notify < 0)
        notify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::vector<int> unused;
    std::vector<std::pair<int, std::string>> unusedToo;
    if (notify >= 0) // what they report is read below
        readEvents(unused, unusedToo);
    watched.clear();
    unwatched.clear();
    withLinks.clear();
    tree = std::make_unique<Folder>();
    tree->path = root;
    list(*tree);
    // The watches of folders that left the tree.
    for (auto it = added.begin(); it != added.end();) {
        if (watched.contains(*it)) {
            ++it;
        } else {
            ::inotify_rm_watch(notify, *it);
            it = added.erase(it);
        }
    }
    walkedAt = now;
    ordered.clear();
    order(*tree);
}

void LogFolderWatch::watch(Folder& folder) {
    // Watched before it is read, so that nothing written meanwhile goes unreported.
    if (folder.wd < 0 && notify >= 0)
        folder.wd = ::inotify_add_watch(notify, folder.path.c_str(),
                                        folderEvents | (&folder == tree.get() ? 0 : IN_DONT_FOLLOW));
    if (folder.wd >= 0) {
        watched[folder.wd] = &folder;
        added.insert(folder.wd);
        unwatched.erase(&folder);
    } else {
        unwatched.insert(&folder);
    }
}

void LogFolderWatch::list(Folder& folder) {
    watch(folder);
    std::vector<Folder::Entry> previous = std::exchange(folder.entries, {});
    withLinks.erase(&folder);
    folder.device = 0;
    folder.inode = 0;
    // The root may be a link to the logs; linked folders below it are not entered.
    const int fd = ::open(folder.path.c_str(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC | (&folder == tree.get() ? 0 : O_NOFOLLOW));
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    struct stat self {};
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
    } else if (::fstat(fd, &self) == 0) {
        folder.device = self.st_dev;
        folder.inode = self.st_ino;
    }
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        unsigned char type = entry->d_type;
        struct stat st {};
        if (type == DT_UNKNOWN || type == DT_DIR) {
            if (::fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
        }
        std::string path = folder.path + '/' + entry->d_name;
        if (type == DT_DIR) {
            // The same folder keeps what was found in it; anything else is walked.
            const auto same = std::find_if(previous.begin(), previous.end(), [&](const Folder::Entry& e) {
                return e.folder && e.folder->inode == st.st_ino && e.folder->device == st.st_dev &&
                       nameOf(e.folder->path) == name;
            });
            if (same != previous.end()) {
                folder.entries.push_back(std::move(*same));
                continue;
            }
            auto child = std::make_unique<Folder>();
            child->path = std::move(path);
            list(*child);
            folder.entries.push_back({std::move(child)});
            continue;
        }
        // A link to a log counts with the log's times, like the log itself.
        if (!isLogName(name) || ::fstatat(fd, entry->d_name, &st, 0) != 0 || S_ISDIR(st.st_mode))
            continue;
        Folder::Entry& log = folder.entries.emplace_back();
        log.file.path = std::move(path);
        setTimes(log.file, st);
        log.linked = type == DT_LNK;
        if (log.linked)
            withLinks.insert(&folder);
    }
    if (dir)
        ::closedir(dir);
    for (Folder::Entry& entry : previous) {
        if (entry.folder)
            forget(*entry.folder);
    }
}

void LogFolderWatch::forget(Folder& folder) {
    for (Folder::Entry& entry : folder.entries) {
        if (entry.folder)
            forget(*entry.folder);
    }
    // Its watch stays until the next walk: the folder may live on elsewhere in the tree under
    // the same watch, and a deleted one's watch is dropped by the kernel.
    if (const auto it = watched.find(folder.wd); it != watched.end() && it->second == &folder)
        watched.erase(it);
    unwatched.erase(&folder);
    withLinks.erase(&folder);
}

bool LogFolderWatch::readEvents(std::vector<int>& relist, std::vector<std::pair<int, std::string>>& restat) {
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(notify, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0 || errno == EAGAIN;
        for (const char* at = buffer; at < buffer + n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            at += sizeof(inotify_event) + event->len;
            if (event->mask & IN_Q_OVERFLOW)
                return false;
            if (event->mask & IN_IGNORED) // gone, or its file system unmounted
                added.erase(event->wd);
            const auto it = watched.find(event->wd);
            if (it == watched.end())
                continue;
            Folder* folder = it->second;
            if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) {
                if (folder == tree.get())
                    return false;
                if (event->mask & IN_IGNORED) {
                    watched.erase(it);
                    folder->wd = -1;
                    unwatched.insert(folder);
                }
                continue;
            }
            if (event->len == 0)
                continue;
            const std::string_view name = event->name;
            if (event->mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO))
                relist.push_back(event->wd);
            else if (!(event->mask & IN_ISDIR) && isLogName(name))
                restat.emplace_back(event->wd, name);
        }
    }
}

void LogFolderWatch::order(const Folder& folder) {
    for (const Folder::Entry& entry : folder.entries) {
        if (entry.folder)
            order(*entry.folder);
        else
            ordered.push_back(&entry.file);
    }
}

} // namespace glimmet
