// Serial ports on POSIX terminals. Each open port has its own bounded input queue that every
// operation tops up from the device at once, so a busy poll sees bytes without processing
// events; the receive callback itself runs only from the event loop.
#include "serial.h"

#include "serial_devices.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "utility.h"

namespace {

struct Port {
    int fd = -1;
    double timeout = 10.0;
    std::vector<char> queue; // ring buffer of the configured input queue size
    size_t head = 0;
    size_t count = 0;
    bool lost = false;

    ComCallbackPtr callback = nullptr;
    void *callbackData = nullptr;
    int eventMask = 0;
    int notifyCount = 0;
    int eventCharacter = -1;
    int pendingEvents = 0;
    bool dispatchPosted = false;
    std::unique_ptr<QSocketNotifier> notifier;
    std::unique_ptr<QTimer> rest; // lets the rest of a frame arrive before the next look
    double byteSeconds = 0;       // line time of one byte: start, data, parity and stop bits
};

Port ports[MAX_COM_PORT + 1];

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

void dispatchEvents(int number);

void postDispatch(int number) {
    Port &p = ports[number];
    if (p.dispatchPosted || !QCoreApplication::instance())
        return;
    p.dispatchPosted = true;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [number] { dispatchEvents(number); }, Qt::QueuedConnection);
}

void noteEvents(int number, int events) {
    Port &p = ports[number];
    if (!p.callback)
        return;
    if ((p.eventMask & LWRS_RECEIVE) && int(p.count) >= p.notifyCount)
        events |= LWRS_RECEIVE;
    events &= p.eventMask;
    if (events) {
        p.pendingEvents |= events;
        postDispatch(number);
    }
}

void markLost(Port &p) {
    p.lost = true;
    if (p.notifier)
        p.notifier->setEnabled(false);
}

// Moves what the device has into the queue, as far as the queue has room.
void pump(int number) {
    Port &p = ports[number];
    if (p.fd < 0 || p.lost)
        return;
    int events = 0;
    const size_t size = p.queue.size();
    while (p.count < size) {
        const size_t tail = (p.head + p.count) % size;
        const size_t room = std::min(size - p.count, size - tail);
        const ssize_t n = ::read(p.fd, p.queue.data() + tail, room);
        if (n > 0) {
            if (p.eventCharacter >= 0 &&
                std::find(p.queue.data() + tail, p.queue.data() + tail + n,
                          char(p.eventCharacter)) != p.queue.data() + tail + n)
                events |= LWRS_RXFLAG;
            p.count += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            markLost(p);
        break;
    }
    if (events || p.count > 0)
        noteEvents(number, events);
}

void dispatchEvents(int number) {
    Port &p = ports[number];
    p.dispatchPosted = false;
    int events = p.pendingEvents;
    p.pendingEvents = 0;
    if (p.fd < 0 || !p.callback)
        return;
    if ((events & LWRS_RECEIVE) && int(p.count) < p.notifyCount)
        events &= ~LWRS_RECEIVE;
    if (events)
        p.callback(number, events, p.callbackData);
}

// Runs from the event loop when bytes arrive. A frame on a real line comes a byte at a time:
// while the callback waits for more, the port rests for the line time of the missing bytes
// instead of waking for each one.
void takeArrivals(int number) {
    Port &p = ports[number];
    pump(number);
    if (p.pendingEvents)
        dispatchEvents(number);
    if (p.fd < 0 || p.lost || !p.callback || !(p.eventMask & LWRS_RECEIVE) || p.count == 0 ||
        int(p.count) >= p.notifyCount)
        return;
    // Wake a byte early: the last one is then taken the moment it lands.
    const int restMs = int(double(p.notifyCount - int(p.count) - 1) * p.byteSeconds * 1000.0);
    if (restMs < 1)
        return;
    p.notifier->setEnabled(false);
    p.rest->start(restMs);
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

int pollFor(int fd, short what, double remainingSeconds) {
    pollfd pfd{fd, what, 0};
    const int ms = int(remainingSeconds * 1000.0) + 1;
    return ::poll(&pfd, 1, ms);
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
        stopBits < 1 || stopBits > 2 || inputQueueSize < 1 || inputQueueSize > 65536 ||
        outputQueueSize < 1)
        return COM_INVALID_PARAMETER;
    if (ports[port].fd >= 0)
        CloseCom(port);

    const QString path =
        (deviceName && *deviceName) ? QString::fromLocal8Bit(deviceName) : ComDevicePath(port);
    if (path.isEmpty())
        return COM_INVALID_PORT_NUMBER;

    const int fd =
        ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return COM_CANNOT_OPEN_PORT;
    // A second program on the same line would steal answers: take the device exclusively.
    if (!isatty(fd) || ::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        !configureLine(fd, baudRate, parity, dataBits, stopBits)) {
        ::close(fd);
        return COM_CANNOT_OPEN_PORT;
    }

    Port &p = ports[port];
    p = Port{};
    p.fd = fd;
    p.byteSeconds = double(1 + dataBits + (parity ? 1 : 0) + stopBits) / double(baudRate);
    p.queue.assign(size_t(inputQueueSize), 0);
    if (QCoreApplication::instance()) {
        static bool hooked = false;
        if (!hooked) {
            qAddPostRoutine(closeAllPorts);
            hooked = true;
        }
        p.notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(p.notifier.get(), &QSocketNotifier::activated,
                         [port] { takeArrivals(port); });
        p.rest = std::make_unique<QTimer>();
        p.rest->setSingleShot(true);
        p.rest->setTimerType(Qt::PreciseTimer);
        QObject::connect(p.rest.get(), &QTimer::timeout, [port] {
            ports[port].notifier->setEnabled(!ports[port].lost);
            takeArrivals(port);
        });
    }
    return 0;
}

int CloseCom(int port) {
    Port *p = openPort(port);
    if (!p)
        return port < 1 || port > MAX_COM_PORT ? COM_INVALID_PORT_NUMBER : COM_PORT_NOT_OPEN;
    p->rest.reset();
    p->notifier.reset();
    ::close(p->fd);
    *p = Port{};
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
    termios tio{};
    if (tcgetattr(p->fd, &tio) != 0)
        return COM_IO_ERROR;
    if (mode)
        tio.c_cflag |= CRTSCTS;
    else
        tio.c_cflag &= ~CRTSCTS;
    return tcsetattr(p->fd, TCSANOW, &tio) == 0 ? 0 : COM_IO_ERROR;
}

int FlushInQ(int port) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    tcflush(p->fd, TCIFLUSH);
    p->head = 0;
    p->count = 0;
    p->pendingEvents &= ~LWRS_RECEIVE;
    return 0;
}

int FlushOutQ(int port) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    tcflush(p->fd, TCOFLUSH);
    return 0;
}

int ComWrt(int port, const char *buffer, int count) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    if (!buffer || count < 0)
        return COM_INVALID_PARAMETER;
    const double deadline = Timer() + p->timeout;
    int written = 0;
    while (written < count && !p->lost) {
        const ssize_t n = ::write(p->fd, buffer + written, size_t(count - written));
        if (n > 0) {
            written += int(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            break;
        const double remaining = deadline - Timer();
        if (remaining <= 0)
            break;
        pollFor(p->fd, POLLOUT, remaining);
    }
    if (written > 0)
        noteEvents(port, LWRS_TXEMPTY);
    return written;
}

int ComRd(int port, char *buffer, int count) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    if (!buffer || count < 0)
        return COM_INVALID_PARAMETER;
    const double deadline = Timer() + p->timeout;
    size_t done = 0;
    for (;;) {
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

int InstallComCallback(int port, int eventMask, int notifyCount, int eventCharacter,
                       ComCallbackPtr callback, void *callbackData) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    if (eventMask == 0 || !callback) {
        p->callback = nullptr;
        p->eventMask = 0;
        p->pendingEvents = 0;
        return 0;
    }
    if ((eventMask & LWRS_RECEIVE) && (notifyCount < 1 || size_t(notifyCount) > p->queue.size()))
        return COM_INVALID_PARAMETER;
    p->callback = callback;
    p->callbackData = callbackData;
    p->eventMask = eventMask;
    p->notifyCount = notifyCount;
    p->eventCharacter = (eventCharacter >= 0 && eventCharacter <= 255) ? eventCharacter : -1;
    p->pendingEvents = 0;
    noteEvents(port, 0);
    return 0;
}
