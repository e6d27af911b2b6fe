// Saves that never leave a file half written: the new content goes to a temporary file beside
// the old one, is synced to the disk, and only then takes the old one's place.
#include "internal.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool writeAll(int fd, const QByteArray &bytes) {
    const char *next = bytes.constData();
    size_t left = size_t(bytes.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, next, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        next += n;
        left -= size_t(n);
    }
    return true;
}

mode_t modeFor(const QByteArray &target) {
    struct stat existing {};
    if (::stat(target.constData(), &existing) == 0)
        return existing.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

} // namespace

bool SaveFileWhole(const QString &path, const QByteArray &bytes, QString *error) {
    // Through a link, the file it names is the one replaced.
    const QFileInfo info(path);
    const QByteArray target =
        QFile::encodeName(info.isSymLink() && info.exists() ? info.canonicalFilePath() : path);
    QByteArray temporary = target + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const bool written =
        ::fchmod(fd, modeFor(target)) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int cause = errno;
    const bool closed = ::close(fd) == 0;
    if (written && closed && ::rename(temporary.constData(), target.constData()) == 0)
        return true;
    *error = QString::fromLocal8Bit(std::strerror(written && closed ? errno : cause));
    ::unlink(temporary.constData());
    return false;
}
