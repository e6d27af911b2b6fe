// The serial service: numbered ports, each a line with the program's own bounded input queue that
// every operation tops up from the line at once; waits sleep until a time or the line's first
// byte, processing events or not; a failed open keeps its cause, and a line that goes away is
// noticed at once.
#include "serial.h"

#include "internal.h"
#include "line.h"
#include "network_line.h"
#include "serial_devices.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <poll.h>
#include <string>
#include <vector>

#include "panel.h"
#include "utility.h"

namespace {

struct Port {
    std::unique_ptr<Line> line; // nullptr while the port is closed or opening
    double timeout = 10.0;
    std::vector<char> queue; // ring buffer of the configured input queue size
    size_t head = 0;
    size_t count = 0;
    bool lost = false;
    unsigned opening = 0; // which opening of the port this is; 0 when closed
    ComCallbackPtr lostCallback = nullptr;
    void *lostCallbackData = nullptr;
    // Watches the device between waits, so that one that goes away is noticed at once; a wait
    // that expects nothing yet turns it off.
    std::unique_ptr<QSocketNotifier> notifier;
};

Port ports[MAX_COM_PORT + 1];
// What outlives a port's closing: whether its device went away, why it failed to open, and why
// its last transfer failed or its device went.
bool gone[MAX_COM_PORT + 1];
std::string openFailure[MAX_COM_PORT + 1];
std::string transferFailure[MAX_COM_PORT + 1];

// Once its device is gone, a port's failures all come from that: the reason it went stays.
void noteFailure(int number, const std::string &cause) {
    if (!gone[number])
        transferFailure[number] = cause;
}

Port *openPort(int port) {
    if (port < 1 || port > MAX_COM_PORT || !ports[port].line)
        return nullptr;
    return &ports[port];
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
    if (!QCoreApplication::instance())
        return;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [number, opening = p.opening] {
            NoteComDeviceLost();
            Port &q = ports[number];
            if (q.line && q.opening == opening && q.lostCallback)
                q.lostCallback(number, 0, q.lostCallbackData);
        },
        Qt::QueuedConnection);
}

// Moves what the line has into the queue, as far as the queue has room.
void pump(int number) {
    Port &p = ports[number];
    if (!p.line || p.lost)
        return;
    const size_t size = p.queue.size();
    while (p.count < size) {
        const size_t tail = (p.head + p.count) % size;
        const LineRead read =
            p.line->read(p.queue.data() + tail, std::min(size - p.count, size - tail));
        p.count += read.stored;
        if (read.state == LineRead::LOST)
            markLost(number, read.lostCause);
        if (read.state != LineRead::MORE)
            break;
    }
}

// Runs from the event loop when the device speaks between waits. Bytes no wait asked for stay in
// the queue for the next exchange to throw away; once it is full the oldest go, so that the
// device is read empty and does not wake the loop again and again.
void takeArrivals(int number) {
    Port &p = ports[number];
    pump(number);
    while (p.line && !p.lost && p.count == p.queue.size()) {
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

// The open port a transfer of count bytes at buffer goes through: 0 with *p set, or the error the
// transfer returns.
int startTransfer(int port, const void *buffer, int count, Port **p) {
    *p = openPort(port);
    if (!*p)
        return COM_PORT_NOT_OPEN;
    return buffer && count >= 0 ? 0 : COM_INVALID_PARAMETER;
}

// Keeps what a request on the line came to: the cause of a failure, the loss of the line.
// Returns true when the request did what it should.
bool noteLineFailure(int number, const LineFailure &failure) {
    if (failure.kind == LineFailure::LOST)
        markLost(number, failure.cause);
    else if (failure.kind == LineFailure::FAILED)
        noteFailure(number, failure.cause);
    return failure.kind == LineFailure::NONE;
}

// How an opening of port waits: in a window the loop's events run meanwhile, so that the window
// stays usable while a server is reached, and closing or opening the port again abandons it.
bool waitWhileOpening(int number, unsigned opening, int fd, short events, double deadline) {
    if (LinesWaitedDirectly())
        return WaitForDescriptor(fd, events, deadline);
    QSocketNotifier notifier(fd,
                             events == POLLOUT ? QSocketNotifier::Write : QSocketNotifier::Read);
    bool ready = false;
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        ready = true;
        notifier.setEnabled(false);
    });
    while (!ready) {
        if (ports[number].opening != opening || QuitRequested()) {
            errno = ECANCELED;
            return false;
        }
        if (Timer() >= deadline) {
            errno = EAGAIN;
            return false;
        }
        ProcessSystemEventsUntil(deadline);
    }
    return true;
}

void closeAllPorts() {
    for (int port = 1; port <= MAX_COM_PORT; ++port)
        if (ports[port].line)
            CloseCom(port);
}

} // namespace

int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize) {
    if (port < 1 || port > MAX_COM_PORT)
        return COM_INVALID_PORT_NUMBER;
    if (!IsLineSpeed(baudRate) || parity < 0 || parity > 2 || dataBits < 5 || dataBits > 8 ||
        stopBits < 1 || stopBits > 2 || inputQueueSize < 1 ||
        size_t(inputQueueSize) > MAX_INPUT_QUEUE_BYTES || outputQueueSize < 1)
        return COM_INVALID_PARAMETER;
    CloseCom(port);
    gone[port] = false;
    openFailure[port].clear();
    transferFailure[port].clear();

    const QString path =
        (deviceName && *deviceName) ? QString::fromLocal8Bit(deviceName) : ComDevicePath(port);
    if (path.isEmpty())
        return COM_INVALID_PORT_NUMBER;

    static unsigned openings = 0;
    const unsigned opening = ++openings;
    ports[port].opening = opening;
    std::string cause;
    std::unique_ptr<Line> line = OpenDeviceLine(
        path.toStdString(), {baudRate, dataBits, parity, stopBits},
        [port, opening](int fd, short events, double deadline) {
            return waitWhileOpening(port, opening, fd, events, deadline);
        },
        &cause);
    Port &p = ports[port];
    // What ran meanwhile may have closed the port or opened it again: this opening is over.
    if (p.opening != opening) {
        if (p.opening == 0)
            openFailure[port] = "the opening was abandoned";
        return COM_CANNOT_OPEN_PORT;
    }
    if (!line) {
        openFailure[port] = cause;
        p = Port{};
        return COM_CANNOT_OPEN_PORT;
    }
    p.line = std::move(line);
    p.queue.assign(size_t(inputQueueSize), 0);
    if (QCoreApplication::instance()) {
        static bool hooked = false;
        if (!hooked) {
            qAddPostRoutine(closeAllPorts);
            hooked = true;
        }
        p.notifier = std::make_unique<QSocketNotifier>(p.line->descriptor(), QSocketNotifier::Read);
        QObject::connect(p.notifier.get(), &QSocketNotifier::activated,
                         [port] { takeArrivals(port); });
    }
    return 0;
}

int CloseCom(int port) {
    if (port < 1 || port > MAX_COM_PORT)
        return COM_INVALID_PORT_NUMBER;
    // An opening under way is abandoned.
    const bool open = ports[port].line != nullptr;
    const bool opening = ports[port].opening != 0;
    ports[port] = Port{};
    return open || opening ? 0 : COM_PORT_NOT_OPEN;
}

const char *ComOpenFailureCause(int port) {
    return port >= 1 && port <= MAX_COM_PORT ? openFailure[port].c_str() : "";
}

int GetComLineErrors(int port) {
    Port *p = openPort(port);
    return p ? p->line->takeLineErrors() : 0;
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

int ComIsNetworkLine(int port) {
    return port >= 1 && port <= MAX_COM_PORT && IsNetworkLineName(ComDevicePath(port).toStdString())
               ? 1
               : 0;
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
    return noteLineFailure(port, p->line->setCtsFlowControl(mode != 0)) ? 0 : COM_IO_ERROR;
}

int FlushInQ(int port) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    p->head = 0;
    p->count = 0;
    const LineFailure failure = p->line->discardReceived();
    // A line that ended meanwhile has nothing left to discard.
    return noteLineFailure(port, failure) || failure.kind == LineFailure::LOST ? 0 : COM_IO_ERROR;
}

int FlushOutQ(int port) {
    Port *p = openPort(port);
    if (!p)
        return COM_PORT_NOT_OPEN;
    return noteLineFailure(port, p->line->discardUnsent()) ? 0 : COM_IO_ERROR;
}

int ComWrt(int port, const char *buffer, int count) {
    Port *p = nullptr;
    if (const int error = startTransfer(port, buffer, count, &p))
        return error;
    if (p->lost)
        return 0;
    LineFailure failure;
    const size_t written = p->line->write(buffer, size_t(count), Timer() + p->timeout, &failure);
    noteLineFailure(port, failure);
    if (written < size_t(count) && !p->lost && transferFailure[port].empty())
        transferFailure[port] = "the device took no more bytes within the time-out";
    return int(written);
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
        PollDescriptor(p->line->descriptor(), POLLIN, remaining);
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
        PollDescriptor(p->line->descriptor(), POLLIN, until - Timer());
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
            lines.push_back({p->line->descriptor(), POLLIN, 0});
            numbers.push_back(ports[i]);
        }
    }
    WaitOnLines(lines.data(), int(lines.size()), until);
    for (size_t i = 0; i < lines.size(); ++i) {
        // The loop's events may have closed or reopened the port meanwhile.
        const Port *p = openPort(numbers[i]);
        if (lines[i].revents && p && p->line->descriptor() == lines[i].fd)
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
        PollDescriptor(p->line->descriptor(), POLLIN, until - Timer());
        pump(port);
    }
    return int(p->count);
}
