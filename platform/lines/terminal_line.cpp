// Terminal devices as lines: opened for the program alone (UUCP lock file both by the device's
// name and by the path given, TIOCEXCL, flock), with a failed open's cause in the operator's
// words; line errors from the driver's counters; purges skipped when the device has nothing.
#include "terminal_line.h"

#include "serial.h"
#include "utility.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QString>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A device found empty this recently holds nothing a flush would find.
const double JUST_NOW_S = 0.0001;
// What a terminal's driver may still hold of bytes whose line time has passed.
const double OUTPUT_DRAIN_MARGIN_S = 0.001;

speed_t speedFor(long baudRate) {
    switch (baudRate) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

bool configureLine(int fd, const ComPortSettings &settings) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= sizes[settings.dataBits - 5];
    if (settings.parity == 1)
        tio.c_cflag |= PARENB | PARODD;
    else if (settings.parity == 2)
        tio.c_cflag |= PARENB;
    if (settings.stopBits == 2)
        tio.c_cflag |= CSTOPB;
    // With VMIN 1 an empty line reads as EAGAIN, so a read of 0 bytes means the device is gone.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = speedFor(settings.baudRate);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

const char LOCK_FOLDER[] = "/run/lock";

// The UUCP lock file of a device path, as minicom, Qt and ser2net name it: /run/lock/LCK..ttyUSB0,
// and /run/lock/LCK..serial_by-id_usb-... for a path that names it through a link.
QByteArray lockFileOf(const QByteArray &path) {
    QByteArray name = path.startsWith("/dev/") ? path.mid(5) : path;
    name.replace('/', '_');
    return QByteArray(LOCK_FOLDER) + "/LCK.." + name;
}

// The lock files of the device at node that path names: the node's, and the path's when it
// differs, since a program given that path locks it under that name.
QList<QByteArray> lockFilesOf(const QByteArray &node, const QString &path) {
    QList<QByteArray> locks{lockFileOf(node)};
    const QByteArray given = lockFileOf(QFile::encodeName(QFileInfo(path).absoluteFilePath()));
    if (given != locks.front())
        locks.push_back(given);
    return locks;
}

// Removes the lock files taken and forgets them.
void releaseLockFiles(QList<QByteArray> &locks) {
    for (const QByteArray &lock : locks)
        ::unlink(lock.constData());
    locks.clear();
}

// Takes lock for this process. False when another took it first; true when it is ours or the
// lock folder can't be written (some systems keep it for a group: flock and TIOCEXCL still hold).
bool takeLockFile(const QByteArray &lock, QList<QByteArray> *taken) {
    const int lockFd = ::open(lock.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (lockFd < 0)
        return errno != EEXIST;
    const std::string pid = std::to_string(::getpid());
    const std::string line = std::string(pid.size() < 10 ? 10 - pid.size() : 0, ' ') + pid + "\n";
    if (::write(lockFd, line.data(), line.size()) == ssize_t(line.size()))
        taken->push_back(lock);
    else
        ::unlink(lock.constData());
    ::close(lockFd);
    return true;
}

std::string programName(pid_t pid) {
    std::string name;
    if (FILE *comm = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r")) {
        char text[64] = "";
        if (std::fgets(text, sizeof text, comm))
            name = std::string(text, std::strcspn(text, "\n"));
        std::fclose(comm);
    }
    return name;
}

// The process that holds the lock file, or 0: a lock of a process that is gone is removed.
pid_t lockOwner(const QByteArray &lock) {
    pid_t pid = 0;
    if (FILE *file = std::fopen(lock.constData(), "r")) {
        long number = 0;
        if (std::fscanf(file, "%ld", &number) == 1)
            pid = pid_t(number);
        std::fclose(file);
    } else {
        return 0;
    }
    if (pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM))
        return pid;
    ::unlink(lock.constData());
    return 0;
}

// A process other than this one with node open, as far as the system lets us see.
pid_t processHolding(const QByteArray &node) {
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return 0;
    pid_t holder = 0;
    while (dirent *entry = ::readdir(proc)) {
        const pid_t pid = pid_t(std::atol(entry->d_name));
        if (pid <= 0 || pid == ::getpid())
            continue;
        const std::string fds = std::string("/proc/") + entry->d_name + "/fd";
        if (DIR *open = ::opendir(fds.c_str())) {
            while (dirent *fd = ::readdir(open)) {
                char target[PATH_MAX];
                const ssize_t n =
                    ::readlink((fds + "/" + fd->d_name).c_str(), target, sizeof target - 1);
                if (n > 0 && QByteArray(target, int(n)) == node)
                    holder = pid;
            }
            ::closedir(open);
        }
        if (holder)
            break;
    }
    ::closedir(proc);
    return holder;
}

std::string inUseCause(const QString &path, pid_t holder) {
    std::string cause = path.toStdString() + " is in use by another program";
    if (holder > 0)
        cause += " (" + programName(holder) + ", pid " + std::to_string(holder) + ")";
    return cause;
}

// The operator's words for why the device at path could not be opened.
std::string openCause(const QString &path, int error) {
    const std::string device = path.toStdString();
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "the device " + device + " does not exist";
    case EACCES:
    case EPERM:
        return "permission denied on " + device +
               ": run sudo usermod -aG dialout $USER, then log in again";
    case ENOTTY:
        return device + " is not a serial device";
    default:
        return device + ": " + std::strerror(error);
    }
}

// Asks the driver to hand over each byte at once: a USB adapter otherwise holds bytes back up to
// its latency timer. Drivers that can't (pseudo-terminals, some adapters) are left as they are.
void askForLowLatency(int fd) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &serial);
    }
}

// Opens path for the program alone: others see it busy through the lock file, TIOCEXCL and
// flock, and it sees theirs. Returns the descriptor, or -1 with cause set.
int openExclusively(const QString &path, QList<QByteArray> *lockFiles, std::string *cause) {
    const QByteArray node = QFile::encodeName(QFileInfo(path).canonicalFilePath());
    if (node.isEmpty()) {
        *cause = openCause(path, ENOENT);
        return -1;
    }
    const QList<QByteArray> locks = lockFilesOf(node, path);
    for (const QByteArray &lock : locks) {
        if (const pid_t owner = lockOwner(lock)) {
            *cause = inUseCause(path, owner);
            return -1;
        }
    }
    const int fd = ::open(node.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        *cause = error == EBUSY ? inUseCause(path, processHolding(node)) : openCause(path, error);
        return -1;
    }
    if (!isatty(fd)) {
        *cause = openCause(path, ENOTTY);
        ::close(fd);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *cause = inUseCause(path, processHolding(node));
        ::close(fd);
        return -1;
    }
    ::ioctl(fd, TIOCEXCL);
    for (const QByteArray &lock : locks) {
        if (!takeLockFile(lock, lockFiles)) {
            *cause = inUseCause(path, lockOwner(lock));
            releaseLockFiles(*lockFiles);
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

// The other end of a terminal that hangs up reads as the end of the file or as EIO, whichever the
// kernel sees first.
const char HUNG_UP[] = "it hung up";

class TerminalLine : public Line {
  public:
    TerminalLine(int fd, QList<QByteArray> lockFiles, const ComPortSettings &settings)
        : fd_(fd), lockFiles_(std::move(lockFiles)),
          byteSeconds_(
              double(1 + settings.dataBits + (settings.parity ? 1 : 0) + settings.stopBits) /
              double(settings.baudRate)) {
        ::ioctl(fd_, TIOCGICOUNT, &errorCounts_);
    }
    ~TerminalLine() override {
        ::close(fd_);
        releaseLockFiles(lockFiles_);
    }

    int descriptor() const override { return fd_; }

    // A terminal hands over all it holds: a read that did not fill the room emptied it.
    LineRead read(char *data, size_t room) override {
        LineRead result;
        for (;;) {
            const ssize_t n = ::read(fd_, data, room);
            if (n < 0 && errno == EINTR)
                continue;
            if (n > 0)
                result.stored = size_t(n);
            if (n > 0 && size_t(n) == room) {
                result.state = LineRead::MORE;
            } else if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) {
                drainedAt_ = Timer();
                result.state = LineRead::DRAINED;
            } else {
                // With VMIN 1 an empty line reads as EAGAIN: a read of 0 bytes means it is gone.
                result.state = LineRead::LOST;
                result.lostCause = n == 0 || errno == EIO ? HUNG_UP : std::strerror(errno);
            }
            return result;
        }
    }

    size_t write(const char *bytes, size_t count, double deadline, LineFailure *failure) override {
        size_t written = 0;
        while (written < count) {
            const ssize_t n = ::write(fd_, bytes + written, count - written);
            if (n > 0) {
                written += size_t(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                *failure =
                    errno == EIO ? LineFailure{LineFailure::LOST, HUNG_UP} : WriteFailure(errno);
                break;
            }
            const double remaining = deadline - Timer();
            if (remaining <= 0)
                break;
            PollDescriptor(fd_, POLLOUT, remaining);
        }
        writtenUntil_ = Timer() + double(written) * byteSeconds_ + OUTPUT_DRAIN_MARGIN_S;
        return written;
    }

    // A device found empty just now holds nothing to flush.
    LineFailure discardReceived() override {
        return Timer() - drainedAt_ < JUST_NOW_S ? LineFailure{} : flush(TCIFLUSH);
    }

    // What was written has left for the line once its line time has passed.
    LineFailure discardUnsent() override {
        return Timer() > writtenUntil_ ? LineFailure{} : flush(TCOFLUSH);
    }

    int takeLineErrors() override {
        serial_icounter_struct now{};
        if (::ioctl(fd_, TIOCGICOUNT, &now) != 0)
            return 0;
        const serial_icounter_struct &was = errorCounts_;
        const int errors =
            (now.brk != was.brk ? COM_LINE_BREAK : 0) |
            (now.frame != was.frame ? COM_LINE_FRAMING : 0) |
            (now.parity != was.parity ? COM_LINE_PARITY : 0) |
            (now.overrun != was.overrun || now.buf_overrun != was.buf_overrun ? COM_LINE_OVERRUN
                                                                              : 0);
        errorCounts_ = now;
        return errors;
    }

    LineFailure setCtsFlowControl(bool on) override {
        termios tio{};
        if (tcgetattr(fd_, &tio) == 0) {
            if (on)
                tio.c_cflag |= CRTSCTS;
            else
                tio.c_cflag &= ~CRTSCTS;
            if (tcsetattr(fd_, TCSANOW, &tio) == 0)
                return {};
        }
        return {LineFailure::FAILED, std::strerror(errno)};
    }

  private:
    LineFailure flush(int queue) {
        if (::tcflush(fd_, queue) == 0)
            return {};
        return {LineFailure::FAILED, std::strerror(errno)};
    }

    const int fd_;
    QList<QByteArray> lockFiles_;          // ours, removed when the line closes
    const double byteSeconds_;             // line time of one byte: start, data, parity, stop
    serial_icounter_struct errorCounts_{}; // the line errors counted when last asked
    double drainedAt_ = -1;                // when a read last found the device empty
    double writtenUntil_ = 0;              // when the bytes written last have all left
};

} // namespace

bool IsLineSpeed(long baudRate) {
    return speedFor(baudRate) != B0;
}

std::unique_ptr<Line> OpenTerminalLine(const std::string &device, const ComPortSettings &settings,
                                       std::string *cause) {
    const QString path = QString::fromLocal8Bit(device.c_str());
    QList<QByteArray> lockFiles;
    const int fd = openExclusively(path, &lockFiles, cause);
    if (fd < 0)
        return nullptr;
    if (!configureLine(fd, settings)) {
        *cause = openCause(path, errno);
        releaseLockFiles(lockFiles);
        ::close(fd);
        return nullptr;
    }
    askForLowLatency(fd);
    return std::make_unique<TerminalLine>(fd, std::move(lockFiles), settings);
}
