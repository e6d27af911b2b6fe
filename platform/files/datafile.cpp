// Data files on POSIX descriptors: what is written gathers in memory and reaches the disk within
// a second, so a recording costs one write and one fdatasync a second, not one per row.
#include "datafile.h"

#include "arrayfile.h"
#include "internal.h"
#include "utility.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace {

const size_t WRITE_AT_BYTES = 64 * 1024;
const auto SYNC_INTERVAL = std::chrono::seconds(1);

struct DataFile {
    int fd = -1;
    std::string name;
    std::string pending;
    std::chrono::steady_clock::time_point synced;
    bool syncDue = false; // a timer will sync what is pending
    std::string failure;  // why a sync of the timer failed, told at the next call
};

std::map<int, DataFile> files;
int nextHandle = 1;
std::string lastError;

int fail(const std::string &name, int error) {
    lastError = name + ": " + std::strerror(error);
    return -1;
}

int writePending(DataFile &file) {
    size_t done = 0;
    while (done < file.pending.size()) {
        const ssize_t n = ::write(file.fd, file.pending.data() + done, file.pending.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            file.pending.erase(0, done);
            return fail(file.name, error);
        }
        done += size_t(n);
    }
    file.pending.clear();
    return 0;
}

// What is written while the line goes quiet still reaches the disk within the second.
void syncLater(int handle, DataFile &file) {
    if (file.syncDue || !QCoreApplication::instance())
        return;
    file.syncDue = true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        SYNC_INTERVAL - (std::chrono::steady_clock::now() - file.synced));
    QTimer::singleShot(std::max<long>(0, long(left.count())), QCoreApplication::instance(),
                       [handle] {
                           auto due = files.find(handle);
                           if (due == files.end())
                               return;
                           due->second.syncDue = false;
                           if (!due->second.pending.empty() && SyncDataFile(handle) != 0)
                               due->second.failure = lastError;
                       });
}

} // namespace

int OpenDataFile(const char *fileName, int action) {
    const std::string name = fileName ? fileName : "";
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (action == VAL_APPEND ? O_APPEND : O_TRUNC);
    const int fd = ::open(name.c_str(), flags, 0666);
    if (fd < 0)
        return fail(name, errno);
    const int handle = nextHandle++;
    files[handle] = DataFile{fd, name, {}, std::chrono::steady_clock::now(), false, {}};
    return handle;
}

int WriteDataFile(int handle, const char *text) {
    auto file = files.find(handle);
    if (file == files.end())
        return fail("data file", EBADF);
    file->second.pending += text ? text : "";
    if (!file->second.failure.empty() ||
        std::chrono::steady_clock::now() - file->second.synced >= SYNC_INTERVAL)
        return SyncDataFile(handle);
    syncLater(handle, file->second);
    return file->second.pending.size() >= WRITE_AT_BYTES ? writePending(file->second) : 0;
}

int SyncDataFile(int handle) {
    auto file = files.find(handle);
    if (file == files.end())
        return fail("data file", EBADF);
    if (!file->second.failure.empty()) {
        lastError = file->second.failure;
        return -1;
    }
    if (writePending(file->second) != 0)
        return -1;
    file->second.synced = std::chrono::steady_clock::now();
    return ::fdatasync(file->second.fd) == 0 ? 0 : fail(file->second.name, errno);
}

int CloseDataFile(int handle) {
    auto file = files.find(handle);
    if (file == files.end())
        return fail("data file", EBADF);
    int result = SyncDataFile(handle);
    if (::close(file->second.fd) != 0 && result == 0)
        result = fail(file->second.name, errno);
    files.erase(file);
    return result;
}

int SaveTextFile(const char *fileName, const char *text) {
    QString error;
    if (SaveFileWhole(QFile::decodeName(fileName), QByteArray(text ? text : ""), &error))
        return 0;
    lastError = std::string(fileName) + ": " + error.toStdString();
    return -1;
}

namespace {

const int JOURNAL_LINE_BYTES = 64 * 1024;
const double LOCK_WAIT_S = 2.0;
const double LOCK_RETRY_S = 0.01;

// The file's last whole line, without its newline, read backwards from its end (a line and a line
// cut short at most); *torn tells whether a line cut short (by a crash or a full disk) follows
// it at the end.
std::string lastLineOf(int fd, bool *torn) {
    *torn = false;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size <= 0)
        return "";
    const off_t start = std::max<off_t>(0, size - 2 * JOURNAL_LINE_BYTES);
    std::string tail(size_t(size - start), '\0');
    if (::pread(fd, tail.data(), tail.size(), start) != ssize_t(tail.size()))
        return "";
    const size_t end = tail.rfind('\n');
    *torn = end + 1 != tail.size();
    if (end == std::string::npos)
        return "";
    tail.resize(end);
    const size_t newline = tail.rfind('\n');
    return newline == std::string::npos ? tail : tail.substr(newline + 1);
}

// Takes the file's lock, waiting at most LOCK_WAIT_S for another process that holds it: a
// window must not freeze on a journal someone else keeps locked. Returns 0, or an errno.
int lockWithin(int fd) {
    const double until = Timer() + LOCK_WAIT_S;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return errno;
        if (Timer() >= until)
            return EWOULDBLOCK;
        Delay(LOCK_RETRY_S);
    }
}

} // namespace

int AppendComposedLine(const char *fileName, ComposeLineCallback compose, void *data) {
    const std::string name = fileName ? fileName : "";
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail(name, errno);
    int result = 0;
    if (const int locked = lockWithin(fd)) {
        result = fail(name, locked);
        if (locked == EWOULDBLOCK)
            lastError = name + ": another program has held it locked for more than " +
                        std::to_string(int(LOCK_WAIT_S)) + " s";
    } else {
        const off_t before = ::lseek(fd, 0, SEEK_END);
        bool torn = false;
        const std::string last = lastLineOf(fd, &torn);
        std::string line(size_t(JOURNAL_LINE_BYTES), '\0');
        const int length = compose(last.c_str(), line.data(), JOURNAL_LINE_BYTES - 1, data);
        if (length < 0) {
            result = 1;
        } else {
            line.resize(size_t(length));
            line += '\n';
            // After a line cut short the new one starts a line of its own.
            if (torn)
                line.insert(line.begin(), '\n');
            DataFile appended{fd, name, line, {}, false, {}};
            const bool written = writePending(appended) == 0; // says why when it fails
            const int unsynced = written && ::fdatasync(fd) != 0 ? errno : 0;
            if (!written || unsynced) {
                // Half a line would break every record after it.
                if (::ftruncate(fd, before) == 0)
                    ::fdatasync(fd);
                result = unsynced ? fail(name, unsynced) : -1;
            }
        }
    }
    ::close(fd);
    return result;
}

int ReadLines(const char *fileName, LineCallback line, void *data) {
    QFile file(QString::fromLocal8Bit(fileName ? fileName : ""));
    if (!file.open(QIODevice::ReadOnly)) {
        lastError = std::string(fileName ? fileName : "") + ": " + file.errorString().toStdString();
        return -1;
    }
    int number = 0;
    for (;;) {
        QByteArray text = file.readLine(JOURNAL_LINE_BYTES);
        if (text.isEmpty())
            break;
        if (text.endsWith('\n'))
            text.chop(1);
        if (const int stopped = line(text.constData(), ++number, data))
            return stopped;
    }
    return 0;
}

int ReadTextFile(const char *fileName, char *text, int size) {
    const std::string name = fileName ? fileName : "";
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(name, errno);
    int length = 0;
    while (text && length < size) {
        const ssize_t n = ::read(fd, text + length, size_t(size - length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return fail(name, error);
        }
        if (n == 0)
            break;
        length += int(n);
    }
    ::close(fd);
    if (!text || length >= size) {
        lastError = name + ": too large";
        return -1;
    }
    text[length] = '\0';
    return length;
}

const char *GetDataFileError(void) {
    return lastError.c_str();
}
