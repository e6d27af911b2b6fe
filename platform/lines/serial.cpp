// Serial ports on POSIX terminals. Each open port has its own bounded input queue that every
// operation tops up from the device at once; waits sleep until a time or the line's first byte,
// processing events or not. A device is held exclusively (UUCP lock file, TIOCEXCL, flock), a
// failed open keeps its cause, and a device that goes away is noticed at once.
#include "serial.h"

#include "internal.h"
#include "network_line.h"
#include "serial_devices.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "panel.h"
#include "utility.h"

namespace {

struct Port {
    int fd = -1;                          // the terminal device, or the network line's connection
    NetworkLine network;                  // its fd is fd when the port is a network line
    serial_icounter_struct errorCounts{}; // a terminal's line errors counted when last asked
    double timeout = 10.0;
    std::vector<char> queue; // ring buffer of the configured input queue size
    size_t head = 0;
    size_t count = 0;
    bool lost = false;
    unsigned opening = 0;        // which opening of the port a queued notice belongs to
    QList<QByteArray> lockFiles; // ours, removed when the port closes
    ComCallbackPtr lostCallback = nullptr;
    void *lostCallbackData = nullptr;
    // Watches the device between waits, so that one that goes away is noticed at once; a wait
    // that expects nothing yet turns it off.
    std::unique_ptr<QSocketNotifier> notifier;
    double byteSeconds = 0;  // line time of one byte: start, data, parity and stop bits
    double drainedAt = -1;   // when a read last found the device empty
    double writtenUntil = 0; // when the bytes written last have all left for the line
};

Port ports[MAX_COM_PORT + 1];
// A device found empty this recently holds nothing a flush would find.
const double JUST_NOW_S = 0.0001;
// What a terminal's driver may still hold of bytes whose line time has passed.
const double OUTPUT_DRAIN_MARGIN_S = 0.001;
// What outlives a port's closing: whether its device went away, why it failed to open, and why
// its last transfer failed or its device went.
bool gone[MAX_COM_PORT + 1];
std::string openFailure[MAX_COM_PORT + 1];
std::string transferFailure[MAX_COM_PORT + 1];

// Once its device is gone, a port's failures all come from that: the reason it went stays.
void noteFailure(int number, int error) {
    if (!gone[number])
        transferFailure[number] = std::strerror(error);
}

Port *openPort(int port) {
    if (port < 1 || port > MAX_COM_PORT || ports[port].fd < 0)
        return nullptr;
    return &ports[port];
}

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

bool isNetworked(const Port &p) {
    return p.network.fd >= 0;
}

// Nothing more can come from a device that is gone: stop watching it, and tell the program once.
void markLost(int number, const std::string &why) {
    Port &p = ports[number];
    if (p.lost)
        return;
    p.lost = true;
    transferFailure[number] = why;
    gone[number] = true;
    if (p.notifier)
        p.notifier->setEnabled(false);
    if (p.lostCallback && QCoreApplication::instance())
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [number, opening = p.opening] {
                Port &q = ports[number];
                if (q.fd >= 0 && q.opening == opening && q.lostCallback)
                    q.lostCallback(number, 0, q.lostCallbackData);
            },
            Qt::QueuedConnection);
}

// Reads what the device has, at most room bytes into data (*stored). Returns what read(2) does.
ssize_t readDevice(Port &p, char *data, size_t room, size_t *stored) {
    if (isNetworked(p))
        return ReadNetworkLine(p.network, data, room, stored);
    const ssize_t n = ::read(p.fd, data, room);
    *stored = n > 0 ? size_t(n) : 0;
    return n;
}

// Moves what the device has into the queue, as far as the queue has room.
void pump(int number) {
    Port &p = ports[number];
    if (p.fd < 0 || p.lost)
        return;
    const size_t size = p.queue.size();
    while (p.count < size) {
        const size_t tail = (p.head + p.count) % size;
        const size_t room = std::min(size - p.count, size - tail);
        char *at = p.queue.data() + tail;
        size_t stored = 0;
        const ssize_t n = readDevice(p, at, room, &stored);
        if (n > 0) {
            p.count += stored;
            // A terminal hands over all it holds: a read that did not fill the room emptied it.
            if (!isNetworked(p) && size_t(n) < room) {
                p.drainedAt = Timer();
                break;
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            p.drainedAt = Timer();
        if (n < 0 && errno == EINTR)
            continue;
        // The other end of a terminal that hangs up reads as the end of the file or as EIO,
        // whichever the kernel sees first; a server ends its connection with the end.
        if (n == 0 && isNetworked(p))
            markLost(number, NetworkLineEnding(p.network));
        else if (n == 0 || (errno == EIO && !isNetworked(p)))
            markLost(number, "it hung up");
        else if (errno != EAGAIN && errno != EWOULDBLOCK)
            markLost(number, std::strerror(errno));
        break;
    }
}

// Runs from the event loop when the device speaks between waits. Bytes no wait asked for stay in
// the queue for the next exchange to throw away; once it is full the oldest go, so that the
// device is read empty and does not wake the loop again and again.
void takeArrivals(int number) {
    Port &p = ports[number];
    pump(number);
    while (p.fd >= 0 && !p.lost && p.count == p.queue.size()) {
        p.head = 0;
        p.count = 0;
        pump(number);
    }
}

size_t takeFromQueue(Port &p, char *buffer, size_t wanted) {
    const size_t size = p.queue.size();
    size_t taken = 0;
    while (taken < wanted && p.count > 0) {
        const size_t chunk = std::min({wanted - taken, p.count, size - p.head});
        std::copy_n(p.queue.data() + p.head, chunk, buffer + taken);
        p.head = (p.head + chunk) % size;
        p.count -= chunk;
        taken += chunk;
    }
    return taken;
}

// Waits for what on fd, to the microsecond: the quiet after an answer is about a millisecond.
int pollFor(int fd, short what, double remainingSeconds) {
    pollfd pfd{fd, what, 0};
    const double seconds = std::max(remainingSeconds, 0.0);
    timespec timeout{};
    timeout.tv_sec = time_t(seconds);
    timeout.tv_nsec = long((seconds - double(timeout.tv_sec)) * 1e9);
    return ::ppoll(&pfd, 1, &timeout, nullptr);
}

bool configureLine(int fd, long baudRate, int parity, int dataBits, int stopBits) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= sizes[dataBits - 5];
    if (parity == 1)
        tio.c_cflag |= PARENB | PARODD;
    else if (parity == 2)
        tio.c_cflag |= PARENB;
    if (stopBits == 2)
        tio.c_cflag |= CSTOPB;
    // With VMIN 1 an empty line reads as EAGAIN, so a read of 0 bytes means the device is gone.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = speedFor(baudRate);
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

// The open port a transfer of count bytes at buffer goes through: 0 with *p set, or the error the
// transfer returns.
int startTransfer(int port, const void *buffer, int count, Port **p) {
    *p = openPort(port);
    if (!*p)
        return COM_PORT_NOT_OPEN;
    return buffer && count >= 0 ? 0 : COM_INVALID_PARAMETER;
}

// Discards the device's side of a queue: tcflush on a terminal, PURGE-DATA on an RFC 2217 line.
// False with the cause kept when the system refused.
bool flushDevice(int number, int queue) {
    Port &p = ports[number];
    if (isNetworked(p)) {
        PurgeNetworkLine(p.network, queue == TCIFLUSH ? 1 : 2);
        return true;
    }
    if (::tcflush(p.fd, queue) == 0)
        return true;
    noteFailure(number, errno);
    return false;
}

// Writes what it can of count bytes by deadline. Returns the count written, or -1 with errno.
ssize_t writeDevice(Port &p, const char *bytes, size_t count, double deadline) {
    if (!isNetworked(p))
        return ::write(p.fd, bytes, count);
    errno = 0;
    const size_t written = WriteNetworkLine(p.network, bytes, count, deadline);
    if (written < count && errno == 0)
        errno = EAGAIN;
    return written > 0 || count == 0 ? ssize_t(written) : -1;
}

// Opens a network line for the port: the server connected and, for RFC 2217, the line set. What
// came on the way waits in the queue. Returns the descriptor, or -1 with cause.
int openNetworkLine(Port &p, const std::string &name, const ComPortSettings &settings,
                    std::string *cause) {
    std::string early;
    if (!OpenNetworkLine(name, settings, &p.network, cause, &early))
        return -1;
    const size_t taken = std::min(early.size(), p.queue.size());
    std::copy_n(early.data(), taken, p.queue.data());
    p.count = taken;
    return p.network.fd;
}

void closeAllPorts() {
    for (int port = 1; port <= MAX_COM_PORT; ++port)
        if (ports[port].fd >= 0)
            CloseCom(port);
}

} // namespace

int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize) {
    if (port < 1 || port > MAX_COM_PORT)
        return COM_INVALID_PORT_NUMBER;
    if (speedFor(baudRate) == B0 || parity < 0 || parity > 2 || dataBits < 5 || dataBits > 8 ||
        stopBits < 1 || stopBits > 2 || inputQueueSize < 1 ||
        size_t(inputQueueSize) > MAX_INPUT_QUEUE_BYTES || outputQueueSize < 1)
        return COM_INVALID_PARAMETER;
    if (ports[port].fd >= 0)
        CloseCom(port);
    gone[port] = false;
    openFailure[port].clear();
    transferFailure[port].clear();

    const QString path =
        (deviceName && *deviceName) ? QString::fromLocal8Bit(deviceName) : ComDevicePath(port);
    if (path.isEmpty())
        return COM_INVALID_PORT_NUMBER;

    static unsigned openings = 0;
    Port &p = ports[port];
    p = Port{};
    p.queue.assign(size_t(inputQueueSize), 0);
    const std::string name = path.toStdString();
    if (IsNetworkLineName(name)) {
        // The server decides who else may use its line: no lock of ours can reach it.
        p.fd = openNetworkLine(p, name, {baudRate, dataBits, parity, stopBits}, &openFailure[port]);
    } else {
        // A second program on the same line would steal answers: the device is the program's
        // alone.
        p.fd = openExclusively(path, &p.lockFiles, &openFailure[port]);
        if (p.fd >= 0 && !configureLine(p.fd, baudRate, parity, dataBits, stopBits)) {
            openFailure[port] = openCause(path, errno);
            releaseLockFiles(p.lockFiles);
            ::close(p.fd);
            p.fd = -1;
        }
        if (p.fd >= 0) {
            askForLowLatency(p.fd);
            ::ioctl(p.fd, TIOCGICOUNT, &p.errorCounts);
        }
    }
    if (p.fd < 0) {
        p = Port{};
        return COM_CANNOT_OPEN_PORT;
    }
    const int fd = p.fd;
    p.opening = ++openings;
    p.byteSeconds = double(1 + dataBits + (parity ? 1 : 0) + stopBits) / double(baudRate);
    if (QCoreApplication::instance()) {
        static bool hooked = false;
        if (!hooked) {
            qAddPostRoutine(closeAllPorts);
            hooked = true;
        }
        p.notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(p.notifier.get(), &QSocketNotifier::activated,
                         [port] { takeArrivals(port); });
    }
    return 0;
}

int CloseCom(int port) {
    Port *p = openPort(port);
    if (!p)
        return port < 1 || port > MAX_COM_PORT ? COM_INVALID_PORT_NUMBER : COM_PORT_NOT_OPEN;
    p->notifier.reset();
    if (isNetworked(*p))
        CloseNetworkLine(p->network);
    else
        ::close(p->fd);
    releaseLockFiles(p->lockFiles);
    *p = Port{};
    return 0;
}

const char *ComOpenFailureCause(int port) {
    return port >= 1 && port <= MAX_COM_PORT ? openFailure[port].c_str() : "";
}

// The service's line errors are RFC 2217's line-state bits: a network line's pass unchanged.
static_assert(int(COM_LINE_BREAK) == TelnetComPort::BREAK &&
              int(COM_LINE_FRAMING) == TelnetComPort::FRAMING &&
              int(COM_LINE_PARITY) == TelnetComPort::PARITY &&
              int(COM_LINE_OVERRUN) == TelnetComPort::OVERRUN);

int GetComLineErrors(int port) {
    Port *p = openPort(port);
    if (!p)
        return 0;
    if (isNetworked(*p))
        return TakeNetworkLineErrors(p->network);
    serial_icounter_struct now{};
    if (::ioctl(p->fd, TIOCGICOUNT, &now) != 0)
        return 0;
    const serial_icounter_struct &was = p->errorCounts;
    const int errors =
        (now.brk != was.brk ? COM_LINE_BREAK : 0) |
        (now.frame != was.frame ? COM_LINE_FRAMING : 0) |
        (now.parity != was.parity ? COM_LINE_PARITY : 0) |
        (now.overrun != was.overrun || now.buf_overrun != was.buf_overrun ? COM_LINE_OVERRUN : 0);
    p->errorCounts = now;
    return errors;
}

const char *GetComFailureCause(int port) {
    return port >= 1 && port <= MAX_COM_PORT ? transferFailure[port].c_str() : "";
}

int ComDeviceGone(int port) {
    return port >= 1 && port <= MAX_COM_PORT && gone[port] ? 1 : 0;
}

int InstallComLostCallback(int port, ComCallbackPtr callback, void *callbackData) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    p->lostCallback = callback;
    p->lostCallbackData = callbackData;
    return 0;
}

void SetComStartUpDevice(const char *path) {
    SetStartUpDevice(QString::fromLocal8Bit(path ? path : ""));
}

int GetComPortOfDevice(const char *path) {
    return ComPortOfPath(QString::fromLocal8Bit(path ? path : ""));
}

int GetComStableName(const char *device, char *name, int size) {
    const QByteArray stable = StableNameOf(QString::fromLocal8Bit(device ? device : "")).toUtf8();
    if (!name || size < 1 || stable.size() >= size)
        return -1;
    std::copy(stable.begin(), stable.end(), name);
    name[stable.size()] = '\0';
    return 0;
}

const char *GetComStartUpReason(void) {
    static QByteArray reason;
    reason = StartUpDeviceReason().toUtf8();
    return reason.constData();
}

std::string ComPortLabel(int port) {
    return "COM" + std::to_string(port);
}

int GetComDeviceName(int port, char *name, int size) {
    if (port < 1 || port > MAX_COM_PORT)
        return COM_INVALID_PORT_NUMBER;
    if (!name || size < 1)
        return COM_INVALID_PARAMETER;
    const QByteArray path = ComDevicePath(port).toLocal8Bit().left(size - 1);
    std::copy(path.begin(), path.end(), name);
    name[path.size()] = '\0';
    return 0;
}

int SetComTime(int port, double timeoutSeconds) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    if (timeoutSeconds < 0)
        return COM_INVALID_PARAMETER;
    p->timeout = timeoutSeconds;
    return 0;
}

int SetCTSMode(int port, int mode) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    if (isNetworked(*p)) {
        // An RFC 2217 line was set to no flow control when it opened; a raw one is the server's.
        if (mode == 0)
            return 0;
        transferFailure[port] = "hardware flow control is not asked for over the network";
        return COM_IO_ERROR;
    }
    termios tio{};
    if (tcgetattr(p->fd, &tio) == 0) {
        if (mode)
            tio.c_cflag |= CRTSCTS;
        else
            tio.c_cflag &= ~CRTSCTS;
        if (tcsetattr(p->fd, TCSANOW, &tio) == 0)
            return 0;
    }
    noteFailure(port, errno);
    return COM_IO_ERROR;
}

int FlushInQ(int port) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    // A connection's own buffer is the program's to empty: the server purges only its side. What
    // is thrown away raises no event.
    if (isNetworked(*p)) {
        do {
            p->head = 0;
            p->count = 0;
            pump(port);
        } while (p->count > 0 && !p->lost);
    }
    p->head = 0;
    p->count = 0;
    // A terminal found empty just now holds nothing to flush.
    if (!isNetworked(*p) && Timer() - p->drainedAt < JUST_NOW_S)
        return 0;
    return flushDevice(port, TCIFLUSH) ? 0 : COM_IO_ERROR;
}

int FlushOutQ(int port) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    // What was written has left for the line: there is nothing to flush.
    if (!isNetworked(*p) && Timer() > p->writtenUntil)
        return 0;
    return flushDevice(port, TCOFLUSH) ? 0 : COM_IO_ERROR;
}

int ComWrt(int port, const char *buffer, int count) {
    Port *p = nullptr;
    if (const int error = startTransfer(port, buffer, count, &p))
        return error;
    const double deadline = Timer() + p->timeout;
    int written = 0;
    while (written < count && !p->lost) {
        const ssize_t n = writeDevice(*p, buffer + written, size_t(count - written), deadline);
        if (n > 0 && !isNetworked(*p)) {
            written += int(n);
            continue;
        }
        // A network line writes all it can by the deadline in one go (what it left would start in
        // the middle of an escaped byte): a short write is its last, and errno says why.
        if (n > 0)
            written += int(n);
        if (written == count)
            break;
        if ((n < 0 || isNetworked(*p)) && errno != EAGAIN && errno != EWOULDBLOCK &&
            errno != EINTR) {
            if (errno == EIO && !isNetworked(*p))
                markLost(port, "it hung up");
            else if (errno == ENXIO || errno == ENODEV || errno == EPIPE || errno == ECONNRESET ||
                     errno == ETIMEDOUT)
                markLost(port, std::strerror(errno));
            else
                noteFailure(port, errno);
            break;
        }
        const double remaining = deadline - Timer();
        if (remaining <= 0 || isNetworked(*p))
            break;
        pollFor(p->fd, POLLOUT, remaining);
    }
    if (written < count && !p->lost && transferFailure[port].empty())
        transferFailure[port] = "the device took no more bytes within the time-out";
    p->writtenUntil = Timer() + written * p->byteSeconds + OUTPUT_DRAIN_MARGIN_S;
    return written;
}

int ComRd(int port, char *buffer, int count) {
    Port *p = nullptr;
    if (const int error = startTransfer(port, buffer, count, &p))
        return error;
    const double deadline = Timer() + p->timeout;
    // What the queue holds first: the device is read only for what it lacks.
    size_t done = takeFromQueue(*p, buffer, size_t(count));
    for (;;) {
        if (done == size_t(count))
            break;
        pump(port);
        done += takeFromQueue(*p, buffer + done, size_t(count) - done);
        if (done == size_t(count) || p->lost)
            break;
        const double remaining = deadline - Timer();
        if (remaining <= 0)
            break;
        pollFor(p->fd, POLLIN, remaining);
    }
    return int(done);
}

int GetInQLen(int port) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    pump(port);
    return int(p->count);
}

int ComWaitUntil(int port, double until, int watch, int events) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    if (events && QCoreApplication::instance()) {
        if (p->notifier)
            p->notifier->setEnabled(watch && !p->lost);
        ProcessSystemEventsUntil(until);
        // What ran meanwhile may have closed the port.
        p = openPort(port);
        if (!p)
            return COM_PORT_NOT_OPEN;
        if (p->notifier)
            p->notifier->setEnabled(!p->lost);
    } else if (!watch) {
        Delay(until - Timer());
    } else if (until > Timer()) {
        Delay(0); // what changed is shown before the sleep, as a pause shows it
        pollFor(p->fd, POLLIN, until - Timer());
    }
    pump(port);
    return int(p->count);
}

int ComWaitAny(const int *ports, const int *watch, int count, double until) {
    if (!LinesWaitedDirectly()) {
        // The watches stay as set: the next wait sets them again, and ComWatch when waits are
        // over.
        for (int i = 0; i < count; ++i)
            ComWatch(ports[i], watch[i]);
        ProcessSystemEventsUntil(until);
        return 0;
    }
    // The wait itself watches the lines: what comes on one is taken as its notifier would, and
    // the notifiers rest, so that the loop's events read no answer before its look.
    static std::vector<pollfd> lines;
    static std::vector<int> numbers;
    lines.clear();
    numbers.clear();
    for (int i = 0; i < count; ++i) {
        Port *p = openPort(ports[i]);
        if (p && p->notifier)
            p->notifier->setEnabled(false);
        if (p && watch[i] && !p->lost) {
            lines.push_back({p->fd, POLLIN, 0});
            numbers.push_back(ports[i]);
        }
    }
    WaitOnLines(lines.data(), int(lines.size()), until);
    for (size_t i = 0; i < lines.size(); ++i) {
        // The loop's events may have closed or reopened the port meanwhile.
        const Port *p = openPort(numbers[i]);
        if (lines[i].revents && p && p->fd == lines[i].fd)
            takeArrivals(numbers[i]);
    }
    return 0;
}

int ComWatch(int port, int watch) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    if (p->notifier)
        p->notifier->setEnabled(watch && !p->lost);
    return 0;
}

int ComQueued(int port) {
    Port *p = openPort(port);
    return p ? int(p->count) : COM_PORT_NOT_OPEN;
}

int ComQuietFor(int port, double seconds) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    pump(port);
    const double until = Timer() + seconds;
    // A network line's own talk (Telnet answers, line-state notices) is no data: it goes on.
    while (p->count == 0 && !p->lost && Timer() < until) {
        pollFor(p->fd, POLLIN, until - Timer());
        pump(port);
    }
    return int(p->count);
}
