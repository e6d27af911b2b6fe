// Real serial lines over pseudo-terminals: the cause of every open failure, devices held by
// other programs, a typed device path, and a device that goes away and comes back. A device the
// operator may not open is tried in test_commands, as an unprivileged user.
#include "program_fixture.h"

#include "utility.h"

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kelvaro;

namespace {

// A second program that holds the device, as minicom would: a child process with the device
// open and flock'ed.
struct OtherProgram {
    pid_t pid = -1;
    explicit OtherProgram(const std::string &device) {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        pid = ::fork();
        if (pid == 0) {
            const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
            ::flock(fd, LOCK_EX);
            const char byte = 1;
            [[maybe_unused]] const ssize_t n = ::write(ready[1], &byte, 1);
            ::pause();
            ::_exit(0);
        }
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(ready[0], &byte, 1);
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~OtherProgram() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
};

std::string deviceNode(const std::string &link) {
    return QFile::symLinkTarget(QString::fromStdString(link)).toStdString();
}

double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// What the program costs while it has nothing to do: CPU seconds in a second of its event loop.
double idleCpuSeconds() {
    const double cpu = processCpuSeconds();
    const double start = Timer();
    while (Timer() - start < 1.0)
        ProcessSystemEventsUntil(start + 1.0);
    return processCpuSeconds() - cpu;
}

} // namespace

class PortOpenTest : public PanelTest {};

TEST_F(PortOpenTest, EveryOpenFailureSaysItsCauseAfterTheText) {
    InitRS232(0);
    EXPECT_EQ(status(), "Invalid port number");

    setenv("KELVARO_COM2", "/nonexistent/kelvaro-tty", 1);
    InitRS232(2);
    EXPECT_EQ(status(), "Cannot open port: the device /nonexistent/kelvaro-tty does not exist");

    setenv("KELVARO_COM2", "/dev/null", 1);
    InitRS232(2);
    EXPECT_EQ(status(), "Cannot open port: /dev/null is not a serial device");
    unsetenv("KELVARO_COM2");
}

class PortLockTest : public LinkTest {};

TEST_F(PortLockTest, ADeviceHeldByAnotherProgramIsBusyAndTheStatusSaysWhich) {
    {
        OtherProgram other(link);
        InitRS232(com);
        EXPECT_EQ(status(), "Cannot open port: " + link + " is in use by another program (" +
                                QCoreApplication::applicationName().left(15).toStdString() +
                                ", pid " + std::to_string(other.pid) + ")");
        EXPECT_TRUE(sim.requests().empty());
    }

    // A lock file left by a program that is gone does not count.
    const std::string lock = "/run/lock/LCK.." + deviceNode(link).substr(5);
    QFile stale(QString::fromStdString(lock).replace("LCK..pts/", "LCK..pts_"));
    if (stale.open(QIODevice::WriteOnly)) {
        stale.write("    999999\n");
        stale.close();
    }
    InitRS232(com);
    EXPECT_EQ(status(), kvsim::FIRMWARE_TEXT);
    EXPECT_EQ(QFile(stale.fileName()).exists(), true) << "now the program's own lock";

    // Held by this program, the device is busy for any other: flock, TIOCEXCL and the lock file.
    const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        ::close(fd);
    }
    EXPECT_EQ(OpenComConfig(3, link.c_str(), 19200, 0, 8, 1, 4096, 4096), COM_CANNOT_OPEN_PORT);
    EXPECT_NE(std::string(ComOpenFailureCause(3)).find("is in use by another program"),
              std::string::npos);
    CloseCom(com);
    EXPECT_FALSE(QFile(stale.fileName()).exists()) << "the lock goes with the port";
}

class PortRingTest : public StartedTest {
  protected:
    QString entryOf(int port) {
        auto *ring = control<QComboBox>("PANEL_DROPDCOM");
        ring->showPopup();
        ring->hidePopup();
        return ring->itemText(ring->findData(port));
    }
    // Stops the simulator after ms, while the program waits inside what it does.
    void hangUpAfter(int ms) {
        QTimer::singleShot(ms, window(), [this] { sim.stop(); });
    }
};

TEST_F(PortRingTest, ATypedPathIsOpenedAsIfPickedAndKeepsItsNumber) {
    kvsim::Simulator other(kvsim::Simulator::Options{true, {}, 3, {}});
    const std::string otherLink = link + "-typed";
    std::string error;
    ASSERT_TRUE(other.start(otherLink, &error)) << error;

    auto *ring = control<QComboBox>("PANEL_DROPDCOM");
    ring->lineEdit()->setText(QString::fromStdString(otherLink));
    QTest::keyClick(ring->lineEdit(), Qt::Key_Return);

    ASSERT_NE(com, 1);
    const int typedPort = com;
    // One start-up: line check, RAM, firmware.
    EXPECT_EQ(OrdersOf(other), (std::vector<int>{5, 2, 7}));
    EXPECT_EQ(status(), kvsim::FIRMWARE_TEXT);
    EXPECT_TRUE(entryOf(typedPort).startsWith(
        QString("COM%1  %2").arg(typedPort).arg(QString::fromStdString(otherLink))));
    EXPECT_EQ(GetComPortOfDevice(otherLink.c_str()), typedPort) << "the number stays";
    // Picking a port, another or the same again, runs one start-up.
    for (int again = 0; again < 2; ++again) {
        sim.clearRequests();
        pickPort(1);
        EXPECT_EQ(com, 1);
        EXPECT_EQ(ordersReceived(), (std::vector<int>{5, 2, 7})) << again;
    }
    other.stop();
}

TEST_F(PortRingTest, ATypedPathThatNeverExistedIsNotFoundAndOneThatWentIsGoneInTheClosedBox) {
    auto *ring = control<QComboBox>("PANEL_DROPDCOM");
    const QString never = QString::fromStdString(link) + "-never";
    ring->lineEdit()->setText(never);
    QTest::keyClick(ring->lineEdit(), Qt::Key_Return);
    EXPECT_TRUE(ring->currentText().endsWith("(not found)")) << ring->currentText().toStdString();
    EXPECT_NE(status().find("does not exist"), std::string::npos) << status();

    pickPort(1);
    sim.stop();
    ASSERT_TRUE(waitFor([this] { return saysGone(status()); }, 1.0));
    EXPECT_TRUE(ring->currentText().endsWith("(gone)"))
        << "without opening the ring: " << ring->currentText().toStdString();
}

TEST_F(PortRingTest, AControllerGoneDuringARunEndsItAtOnceAndComesBackWhenPicked) {
    hangUpAfter(300);
    const double start = Timer();
    press("PANEL_BTNRUN");
    EXPECT_LT(Timer() - start, 1.5) << "not after the 2-second time-out";

    EXPECT_TRUE(saysGone(status())) << status();
    EXPECT_FALSE(saidNoAnswer("Timeout RS232-Line!"));
    EXPECT_TRUE(control("PANEL_BTNRUN")->isEnabled());
    EXPECT_FALSE(control("PANEL_BTNDATA")->isEnabled()) << "as after a time-out";
    EXPECT_LT(idleCpuSeconds(), 0.3) << "nothing spins once the device is gone";
    EXPECT_TRUE(entryOf(1).endsWith("(gone)")) << entryOf(1).toStdString();

    std::string error;
    ASSERT_TRUE(sim.start(link, &error)) << error;
    EXPECT_FALSE(entryOf(1).endsWith("(gone)"));
    sim.clearRequests();
    pickPort(1);
    EXPECT_EQ(ordersReceived(), (std::vector<int>{5, 2, 7}));
    EXPECT_EQ(status(), kvsim::FIRMWARE_TEXT);
}

TEST_F(PortRingTest, AControllerGoneDuringAGetLeavesThePanelAsItWas) {
    sim.setFaults(Fault(&kvsim::Faults::lateSeconds, 1.0));
    SetCtrlVal(panelHandle, PANEL_POWER, 4321);
    hangUpAfter(200);
    const double start = Timer();
    press("PANEL_BTNGET");

    EXPECT_LT(Timer() - start, 1.0);
    EXPECT_TRUE(saysGone(status())) << status();
    EXPECT_EQ(wordValue(PANEL_POWER), 4321) << "the operator's edit stays";
}

// Until the port is picked again, every command on it ends on the lost-device text, never on a
// success text, and the panel keeps what it shows.
TEST_F(PortRingTest, EveryCommandOnAPortWhoseDeviceIsGoneEndsOnTheLostDeviceText) {
    sim.stop();
    ASSERT_TRUE(waitFor([] { return ComDeviceGone(com) == 1; }, 1.0));
    SetCtrlVal(panelHandle, PANEL_POWER, 4321);
    for (const char *button : {"PANEL_BUTTONTEACH", "PANEL_BUTTONRESET", "PANEL_BTNGET",
                               "PANEL_BTNSEND", "PANEL_BTNRUN", "PANEL_BTNDATA"}) {
        statusHistory.clear();
        press(button);
        EXPECT_TRUE(saysGone(status())) << button << status();
        EXPECT_EQ(wordValue(PANEL_POWER), 4321) << button;
    }
    statusHistory.clear();
    CheckComLine(com);
    EXPECT_TRUE(saysGone(status())) << "nothing timed out: " << status();
}

TEST_F(PortRingTest, AControllerGoneWhileIdleIsReportedAtOnceAndClosed) {
    sim.stop();
    EXPECT_TRUE(waitFor([this] { return statusHistory.size() > 0; }, 1.0));
    EXPECT_TRUE(saysGone(status())) << status();
    EXPECT_EQ(ComDeviceGone(com), 1);
    EXPECT_EQ(GetInQLen(com), COM_PORT_NOT_OPEN);
}

namespace {

long mainThreadWakeUps() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

} // namespace

// A wait for an answer sleeps until bytes can have come and then once more for the rest of the
// frame: a part of a frame that never completes costs no wakes while the line is silent.
TEST(SerialPort, AWaitForTheRestOfAFrameSleepsUntilTheLineSpeaksOrItsTime) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int port = 7;
    ASSERT_EQ(OpenComConfig(port, ::ptsname(master), 19200, 0, 8, 1, 4096, 4096), 0);
    const char part[20] = {};
    ASSERT_EQ(::write(master, part, sizeof part), ssize_t(sizeof part));
    const double start = Timer();
    while (GetInQLen(port) < 20 && Timer() - start < 1.0)
        ComWaitUntil(port, start + 1.0, 1, 1);
    EXPECT_EQ(GetInQLen(port), 20);

    const long before = mainThreadWakeUps();
    const double rest = Timer();
    EXPECT_EQ(ComWaitUntil(port, rest + 0.5, 1, 1), 20) << "watching a line that stays silent";
    while (Timer() - rest < 0.5)
        ComWaitUntil(port, rest + 0.5, 1, 1);
    EXPECT_LT(mainThreadWakeUps() - before, 10) << "waiting for the line, not polling";
    FlushInQ(port);
    EXPECT_EQ(ComQuietFor(port, 0.01), 0);
    ASSERT_EQ(::write(master, part, 1), 1);
    EXPECT_EQ(ComQuietFor(port, 1.0), 1) << "the quiet ends with the byte that breaks it";
    CloseCom(port);
    ::close(master);
}
