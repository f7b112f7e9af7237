// The watched log folder against a fresh walk of the same tree, after each kind of change,
// with every folder watched and with the watch limit reached.
#include "status/LogFolderWatch.h"
#include "support/TempHome.h"

#include <QTemporaryDir>

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <dlfcn.h>
#include <functional>
#include <sys/inotify.h>

using namespace glimmet;
using namespace glimmet::test;

// Watches this process may still add (-1: no limit), standing in for the user's watch limit.
std::atomic<int> watchesLeft{-1};
extern "C" int inotify_add_watch(int fd, const char* path, std::uint32_t mask) noexcept {
    static const auto next =
        reinterpret_cast<int (*)(int, const char*, std::uint32_t)>(::dlsym(RTLD_NEXT, "inotify_add_watch"));
    if (watchesLeft == 0) {
        errno = ENOSPC;
        return -1;
    }
    if (watchesLeft > 0)
        --watchesLeft;
    return next(fd, path, mask);
}

namespace {

QStringList listing(const LogFolderWatch& watch) {
    QStringList files;
    for (const LogFile* file : watch.files())
        files << QString::fromStdString(file->path) + u' ' + QString::number(file->stamp.size) + u' ' +
                     QString::number(file->modified, 'f', 3);
    return files;
}

QStringList walked(const QString& root) {
    LogFolderWatch cold(root);
    cold.refresh(0);
    return listing(cold);
}

TEST(LogFolderWatch, FollowsEveryChangeAsAWalkSeesIt) {
    const auto append = [](const QString& path, const QByteArray& bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write(bytes);
    };
    const struct {
        const char* change;
        std::function<void(const QString& root)> apply;
    } rows[] = {
        {"nothing", [](const QString&) {}},
        {"append", [&](const QString& r) { append(r + "/p1/a.jsonl", "{}\n"); }},
        {"chmod", [](const QString& r) { QFile::setPermissions(r + "/p1/a.jsonl", QFile::ReadOwner); }},
        {"new folders", [](const QString& r) { writeFile(r + "/p3/x/y/c.jsonl", "{}\n"); }},
        {"removed", [](const QString& r) { QFile::remove(r + "/p2/sub/b.jsonl"); }},
        {"renamed folder", [](const QString& r) { QDir().rename(r + "/p2", r + "/p4"); }},
        {"replaced log",
         [](const QString& r) {
             writeFile(r + "/p1/new", "{}\n{}\n");
             QFile::rename(r + "/p1/new", r + "/p1/a.jsonl");
         }},
        {"replaced root",
         [](const QString& r) {
             QDir().rename(r, r + ".old");
             writeFile(r + "/q/d.jsonl", "{}\n");
         }},
        {"root made", [](const QString& r) { writeFile(r + "/q/d.jsonl", "{}\n"); }},
    };
    for (const int limit : {-1, 1}) {
        for (const auto& row : rows) {
            QTemporaryDir home;
            const QString root = home.path() + "/projects";
            if (std::string_view(row.change) != "root made") { // the logs folder is often a link
                writeFile(home.path() + "/real/p1/a.jsonl", "{}\n");
                writeFile(home.path() + "/real/p1/notes.txt", "");
                writeFile(home.path() + "/real/p2/sub/b.jsonl", "{}\n");
                QFile::link(home.path() + "/real", root);
            }
            watchesLeft = limit;
            LogFolderWatch watch(root);
            watch.refresh(99); // a cold walk
            EXPECT_TRUE(watch.refresh(100)) << "walked again, watching";
            row.apply(root);
            const bool changed = watch.refresh(101);
            watchesLeft = -1;
            EXPECT_EQ(changed, limit >= 0 || std::string_view(row.change) != "nothing")
                << row.change << ", limit " << limit;
            EXPECT_EQ(listing(watch), walked(root)) << row.change << ", limit " << limit;
        }
    }
}

// Writes through a second link from outside the tree reach no watch: the periodic walk finds them.
TEST(LogFolderWatch, WalksAgainAfterAMinute) {
    QTemporaryDir home;
    const QString root = home.path() + "/projects";
    writeFile(home.path() + "/elsewhere.jsonl", "{}\n");
    QDir().mkpath(root + "/p");
    ASSERT_TRUE(QFile::link(home.path() + "/elsewhere.jsonl", root + "/p/linked.jsonl"));
    ASSERT_EQ(::link(QFile::encodeName(home.path() + "/elsewhere.jsonl"),
                     QFile::encodeName(root + "/p/hard.jsonl")),
              0);
    LogFolderWatch watch(root, 60);
    watch.refresh(999);
    watch.refresh(1000);
    writeFile(home.path() + "/elsewhere.jsonl", "{}\n{}\n");
    EXPECT_TRUE(watch.refresh(1001)) << "the symbolic link is stat'ed at every refresh";
    EXPECT_NE(listing(watch), walked(root)) << "the hard link's new size is not seen yet";
    EXPECT_TRUE(watch.refresh(1060));
    EXPECT_EQ(listing(watch), walked(root));
}

} // namespace
