// The event loop: RunUserInterface and QuitUserInterface, the bounded wait of
// ProcessSystemEvents, and SIGTERM, SIGINT and SIGHUP turned into the window's close.
#include "panel.h"

#include "internal.h"

#include <QApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool quitRequested = false;
int quitCode = 0;
int signalPipe[2] = {-1, -1};

void onStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

} // namespace

bool QuitRequested() {
    return quitRequested;
}

int RunUserInterface(void) {
    if (!QApplication::instance())
        return UIE_NO_APPLICATION;
    if (!quitRequested)
        QApplication::exec();
    quitRequested = false;
    return quitCode;
}

int QuitUserInterface(int returnCode) {
    quitRequested = true;
    quitCode = returnCode;
    QApplication::exit(returnCode);
    return 0;
}

int ProcessSystemEvents(void) {
    if (!QApplication::instance())
        return UIE_NO_APPLICATION;
    // The wake-up bounds the wait when nothing is pending; serial data wakes the loop sooner.
    static QPointer<QTimer> wake;
    if (!wake) {
        wake = new QTimer(QApplication::instance());
        wake->setSingleShot(true);
        wake->setTimerType(Qt::PreciseTimer);
    }
    wake->start(1);
    QApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    wake->stop();
    return 0;
}

void InstallStopSignals() {
    if (signalPipe[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    auto *notifier =
        new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QApplication::instance());
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
