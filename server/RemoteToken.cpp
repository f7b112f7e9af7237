#include "server/RemoteToken.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace glimmet {

namespace {

constexpr int tokenBytes = 32;

Error failure(const QString& path, const char* what) {
    return Error{QStringLiteral("RemoteToken"), errno,
                 QStringLiteral("cannot %1 %2: %3")
                     .arg(QString::fromLatin1(what), path, QString::fromLocal8Bit(std::strerror(errno)))};
}

// The first line of the file, or nothing when it does not exist.
Result<QByteArray> readToken(const QByteArray& file, const QString& path) {
    const int fd = ::open(file.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT)
            return QByteArray();
        return std::unexpected(failure(path, "read"));
    }
    ::fchmod(fd, S_IRUSR | S_IWUSR); // ours alone, even if someone widened it
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n < 0)
        return std::unexpected(failure(path, "read"));
    return QByteArray(buffer, n).split('\n').value(0).trimmed();
}

} // namespace

QString RemoteToken::defaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Glimmet/remote-token");
}

Result<QByteArray> RemoteToken::loadOrCreate(const QString& path) {
    const QByteArray file = QFile::encodeName(path);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Result<QByteArray> existing = readToken(file, path);
        if (!existing || !existing->isEmpty())
            return existing;
        QDir().mkpath(QFileInfo(path).absolutePath());
        // O_EXCL: of two processes making it at once, one writes and the other reads its token.
        const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return std::unexpected(failure(path, "create"));
        }
        quint32 random[tokenBytes / 4];
        QRandomGenerator::system()->fillRange(random);
        const QByteArray token = QByteArray(reinterpret_cast<const char*>(random), sizeof random).toHex();
        const QByteArray line = token + '\n';
        const bool written =
            ::write(fd, line.constData(), size_t(line.size())) == line.size() && ::fsync(fd) == 0;
        ::close(fd);
        if (!written) {
            const Error error = failure(path, "write");
            ::unlink(file.constData());
            return std::unexpected(error);
        }
        return token;
    }
    return std::unexpected(Error{QStringLiteral("RemoteToken"), EEXIST, path + QStringLiteral(" is empty")});
}

} // namespace glimmet
