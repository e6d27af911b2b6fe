// The event loop: RunUserInterface and QuitUserInterface, ProcessSystemEvents and the wait until
// an event or a deadline, and SIGTERM, SIGINT and SIGHUP turned into the window's close.
#include "panel.h"

#include "internal.h"
#include "utility.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

namespace {

// A wait longer than this wakes once on the way: the timer's milliseconds must fit an int.
const double MAX_SLEEP_S = 3600.0;

// A wait that polls by itself lets the loop's events run at least this often, for its timers.
const double LOOP_EVENTS_INTERVAL_S = 0.1;

bool quitRequested = false;
int quitCode = 0;
int signalPipe[2] = {-1, -1};
std::vector<LoopDescriptorSource> descriptorSources;
double loopEventsRanAt = 0;
// The loop's descriptors as one: readable when one of them has its events. Rebuilt when they
// change, so that a wait polls the lines and this one descriptor, not every connection.
int loopDescriptors = -1;
bool loopDescriptorsChanged = true;

void onStopSignal(int) {
    const int interruptedErrno = errno; // the interrupted code may be about to read it
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = interruptedErrno;
}

} // namespace

bool QuitRequested() {
    return quitRequested;
}

int UserInterfaceQuitting(void) {
    return quitRequested ? 1 : 0;
}

int RunUserInterface(void) {
    if (!QCoreApplication::instance())
        return UIE_NO_APPLICATION;
    if (!quitRequested)
        QCoreApplication::exec();
    quitRequested = false;
    return quitCode;
}

int QuitUserInterface(int returnCode) {
    quitRequested = true;
    quitCode = returnCode;
    QCoreApplication::exit(returnCode);
    return 0;
}

int ProcessSystemEvents(void) {
    if (!QCoreApplication::instance())
        return UIE_NO_APPLICATION;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return 0;
}

int ProcessSystemEventsUntil(double deadline) {
    if (!QCoreApplication::instance())
        return UIE_NO_APPLICATION;
    const double left = deadline - Timer();
    if (left <= 0)
        return ProcessSystemEvents();
    // The loop sleeps in poll until a descriptor or the wake timer wakes it: nothing ticks while
    // a wait has nothing to wait for. The timer descriptor wakes it to the microsecond, where Qt's
    // own timers count whole milliseconds and an answer's end lies between two of them.
    static QPointer<QSocketNotifier> wakeNotifier;
    static int wakeTimer = -1;
    if (!wakeNotifier) {
        if (wakeTimer < 0)
            wakeTimer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (wakeTimer >= 0) {
            wakeNotifier =
                new QSocketNotifier(wakeTimer, QSocketNotifier::Read, QCoreApplication::instance());
            QObject::connect(wakeNotifier, &QSocketNotifier::activated, [] {
                std::uint64_t expirations = 0;
                [[maybe_unused]] const ssize_t n =
                    ::read(wakeTimer, &expirations, sizeof expirations);
            });
        }
    }
    const double sleep = std::min(left, MAX_SLEEP_S);
    if (wakeNotifier) {
        itimerspec wake{};
        wake.it_value.tv_sec = time_t(sleep);
        wake.it_value.tv_nsec = std::max(long((sleep - double(wake.it_value.tv_sec)) * 1e9), 1L);
        timerfd_settime(wakeTimer, 0, &wake, nullptr);
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        return 0;
    }
    // Without a timer descriptor (none left to the process), a Qt timer, a millisecond late at
    // most.
    static QPointer<QTimer> wake;
    if (!wake) {
        wake = new QTimer(QCoreApplication::instance());
        wake->setSingleShot(true);
        wake->setTimerType(Qt::PreciseTimer);
    }
    wake->start(int(std::ceil(sleep * 1000.0)));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    wake->stop();
    return 0;
}

void AddLoopDescriptorSource(LoopDescriptorSource collect) {
    descriptorSources.push_back(collect);
}

bool LinesWaitedDirectly() {
    // Asked at every wait; the kind of application doesn't change while it lives.
    static const QCoreApplication *asked = nullptr;
    static bool direct = true;
    const QCoreApplication *application = QCoreApplication::instance();
    if (application != asked) {
        asked = application;
        direct = !application || !application->inherits("QGuiApplication");
    }
    return direct;
}

void NoteLoopDescriptorsChanged() {
    loopDescriptorsChanged = true;
}

namespace {

// The signal pipe and the sources' descriptors, with the events each waits for.
void collectLoopDescriptors(std::vector<pollfd> &descriptors) {
    if (signalPipe[0] >= 0)
        descriptors.push_back({signalPipe[0], POLLIN, 0});
    for (const LoopDescriptorSource collect : descriptorSources)
        collect(descriptors);
}

// The epoll set of the loop's descriptors, made anew when they changed:
// a descriptor closed and its number reused would not be in the old one. -1 when the system
// gives none.
int LoopDescriptors() {
    if (!loopDescriptorsChanged && loopDescriptors >= 0)
        return loopDescriptors;
    if (loopDescriptors >= 0)
        ::close(loopDescriptors);
    loopDescriptors = epoll_create1(EPOLL_CLOEXEC);
    loopDescriptorsChanged = false;
    if (loopDescriptors < 0)
        return -1;
    std::vector<pollfd> watched;
    collectLoopDescriptors(watched);
    for (const pollfd &descriptor : watched) {
        epoll_event event{};
        event.events = ((descriptor.events & POLLIN) ? EPOLLIN : 0u) |
                       ((descriptor.events & POLLOUT) ? EPOLLOUT : 0u);
        event.data.fd = descriptor.fd;
        if (epoll_ctl(loopDescriptors, EPOLL_CTL_ADD, descriptor.fd, &event) != 0 &&
            errno != EEXIST) {
            // A descriptor it can't watch would go unserved: the wait polls them one by one.
            ::close(loopDescriptors);
            loopDescriptors = -1;
            loopDescriptorsChanged = true;
            return -1;
        }
    }
    return loopDescriptors;
}

} // namespace

int WaitOnLines(pollfd *lines, int count, double deadline) {
    // One ppoll to the nanosecond over the lines and the loop's descriptors as one: a station
    // wakes for every answer of every controller, and Qt's dispatcher, its notifiers and a wake
    // timer cost it more than the wait itself.
    static std::vector<pollfd> descriptors;
    descriptors.assign(lines, lines + count);
    const bool loop = QCoreApplication::instance() != nullptr;
    double wake = deadline;
    if (loop) {
        // Without an epoll set, each of the loop's descriptors is polled.
        const int loopSet = LoopDescriptors();
        if (loopSet >= 0)
            descriptors.push_back({loopSet, POLLIN, 0});
        else
            collectLoopDescriptors(descriptors);
        wake = std::min(wake, loopEventsRanAt + LOOP_EVENTS_INTERVAL_S);
    }
    const double left = std::clamp(wake - Timer(), 0.0, MAX_SLEEP_S);
    timespec timeout{};
    timeout.tv_sec = time_t(left);
    timeout.tv_nsec = long((left - double(timeout.tv_sec)) * 1e9);
    const int ready = ::ppoll(descriptors.data(), descriptors.size(), &timeout, nullptr);
    for (int i = 0; i < count; ++i)
        lines[i].revents = descriptors[size_t(i)].revents;
    const bool loopEventsReady =
        std::any_of(descriptors.begin() + count, descriptors.end(),
                    [](const pollfd &descriptor) { return descriptor.revents != 0; });
    if (loop && (loopEventsReady || Timer() >= loopEventsRanAt + LOOP_EVENTS_INTERVAL_S)) {
        loopEventsRanAt = Timer();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    return ready;
}

void InstallStopSignals() {
    if (signalPipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    auto *notifier =
        new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char bytes[16];
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], bytes, sizeof bytes);
        DeliverCloseToPanels();
    });
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}
