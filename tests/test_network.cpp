// Controllers on the network: the program on rfc2217:// and tcp:// lines through a real ser2net in
// front of the simulator's pseudo-terminal. Every operation, 0xFF-heavy sets, the line format set
// by the program itself, a server that dies, and the causes of refused connections.
#include "program_fixture.h"

#include "broker.h"
#include "ser2net.h"

#include "endpoint.h"
#include "filedialog.h"
#include "utility.h"

#include <QComboBox>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace kelvaro;

namespace {

// What ser2net says to a client while the device is held for a connection that ended, or how
// it sends the client away then without a word.
const char DEVICE_HELD[] = "Port's device already in use";
const char CONNECTION_RESET[] = "Connection reset by peer";

// Words whose bytes are 0xFF in every combination: the Telnet escape byte on the wire.
const std::vector<int> FF_SET = {65535, 0xFF00, 0x00FF, 0xFFFF, 0x7FFF, 0xFFFE, 0xFEFF, 255,
                                 65280, 1,      0xFFFF, 0xFF,   0xFF00, 0xFFFF, 0x00FF, 0xFFFF};

} // namespace

class NetworkTest : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        std::string error;
        // ser2net is told another line than the controller's: over RFC 2217 the program sets it.
        ASSERT_TRUE(server.start(sim.devicePath(), "9600e71", &error)) << error;
    }
    void TearDown() override {
        LinkTest::TearDown();
        server.stop();
    }
    // Port 1 is the network line, opened as the program does at start.
    void startOn(const std::string &line) {
        setenv("KELVARO_COM1", line.c_str(), 1);
        DisplayPanel(panelHandle);
        InitRS232(com);
    }
    // Start-up, send and get of a 0xFF-heavy set both ways and a live run.
    void exerciseEveryOperation(const std::string &line) {
        startOn(line);
        EXPECT_EQ(status(), kvsim::FIRMWARE_TEXT);
        EXPECT_EQ(ordersReceived(), (std::vector<int>{5, 2, 7}));
        EXPECT_EQ(ProgramParameters(), WordsOf(sim.ram()));

        SetProgramParameters(FF_SET);
        SetPanelValues();
        press("PANEL_BTNSEND");
        tick("PANEL_RBTEEPROM");
        press("PANEL_BTNSEND");
        ASSERT_TRUE(waitFor([&] { return WordsOf(sim.eeprom()) == FF_SET; }, 2.0));
        EXPECT_EQ(WordsOf(sim.ram()), FF_SET);
        SetProgramParameters(DEFAULT_SET);
        SetPanelValues();
        press("PANEL_BTNGET");
        EXPECT_EQ(ProgramParameters(), FF_SET) << "read back from the EEPROM intact";
        EXPECT_EQ(status(), "Data Transfer Ok!");

        sim.scriptNorm({111, 222, 333, 444, 555, 666});
        runUntil(5, [] { press("PANEL_BTNSTOP"); });
        EXPECT_GE(valNORM, 111);
        EXPECT_LE(valNORM, 666);
    }

    Ser2net server;
};

TEST_F(NetworkTest, EveryOperationWorksOverRfc2217AndTheProgramSetsTheLine) {
    exerciseEveryOperation(server.rfc2217Line());
    termios line{};
    ASSERT_TRUE(sim.lineSettings(&line));
    EXPECT_EQ(cfgetospeed(&line), B19200) << "ser2net was told 9600";
    EXPECT_EQ(line.c_cflag & CSIZE, tcflag_t(CS8)) << "ser2net was told 7 data bits";
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u) << "no parity, 1 stop bit, no flow";
}

TEST_F(NetworkTest, EveryOperationWorksOverRawTcp) {
    exerciseEveryOperation(server.rawLine());
}

// A server that dies is a line that is gone, as an unplugged device: at once, the run ends, the
// port is closed, and nothing tries again by itself.
TEST_F(NetworkTest, AServerKilledDuringARunIsALineThatIsGone) {
    startOn(server.rfc2217Line());
    const double started = Timer();
    runUntil(10, [this] { server.kill(); });
    EXPECT_LT(Timer() - started, 1.8) << "the run ends on the loss, not on its 2-second time-out";
    const QString gone = "COM1: " + QString::fromStdString(server.rfc2217Line()) + " is gone";
    EXPECT_TRUE(QString::fromStdString(status()).startsWith(gone)) << status();
    EXPECT_TRUE(QString::fromStdString(status()).endsWith("pick it again in the ring when it is "
                                                          "back"));
    EXPECT_EQ(GetInQLen(com), COM_PORT_NOT_OPEN);
    sim.clearRequests();
    waitFor([] { return false; }, 0.5);
    EXPECT_EQ(GetInQLen(com), COM_PORT_NOT_OPEN) << "no reconnect by itself";
}

// One reader for every address the program takes: a port is whole digits in range, or the
// address is refused.
TEST(Endpoint, APortIsWholeDigitsInRangeAndNothingFollows) {
    Endpoint read;
    ASSERT_TRUE(ReadEndpoint("mqtt://broker.plant", "mqtt://", 1883, &read));
    EXPECT_EQ(read.host, "broker.plant");
    EXPECT_EQ(read.port, 1883);
    ASSERT_TRUE(ReadEndpoint("rfc2217://[fe80::1]:4001", "rfc2217://", 0, &read));
    EXPECT_EQ(read.host, "fe80::1");
    EXPECT_EQ(read.port, 4001);
    EXPECT_EQ(read.address, "[fe80::1]:4001");
    for (const char *wrong :
         {"mqtt://h:1883x", "mqtt://h:0", "mqtt://h:65536", "mqtt://h:", "mqtt://:1883",
          "mqtt://h:+1883", "mqtt://h/x", "mqtt://u@h", "mqtt://::1", "mqtt://[::1",
          "mqtt://[::1]x", "mqtt://[h]:1", "mqtts://h"})
        EXPECT_FALSE(ReadEndpoint(wrong, "mqtt://", 1883, &read)) << wrong;
    EXPECT_FALSE(ReadEndpoint("tcp://h", "tcp://", 0, &read)) << "a line's port is not optional";
}

// Each refusal says its cause after the text of a port that can't be opened.
TEST_F(NetworkTest, RefusedAndUnknownLinesSayWhy) {
    const auto openFailure = [this](const std::string &line) {
        startOn(line);
        return status();
    };
    const std::string raw = server.rawLine().substr(std::string("tcp://").size());
    const std::vector<std::pair<std::string, std::string>> refusals = {
        {"rfc2217://127.0.0.1:" + std::to_string(FreeLoopbackPort()),
         ": connection refused: is the serial device server running"},
        // A label longer than 63 characters: the resolver refuses it without asking a server.
        {"tcp://" + std::string(70, 'x') + ".invalid:4000", ".invalid is unknown"},
        {server.plainTelnetLine(), "refused RFC 2217 (DONT COM-PORT-OPTION)"},
        {"rfc2217://127.0.0.1", "is not a network line: write rfc2217://HOST:PORT"},
        // Last: ser2net holds the device for a moment after a connection it served ends.
        {"rfc2217://" + raw, "did not confirm RFC 2217 within 3 s"},
    };
    // On a loaded machine the device may still be held then: the server says so, and is asked
    // again.
    const double patience = Timer() + 5;
    for (const auto &[line, cause] : refusals) {
        std::string shown = openFailure(line);
        while ((shown.find(DEVICE_HELD) != std::string::npos ||
                shown.find(CONNECTION_RESET) != std::string::npos) &&
               Timer() < patience) {
            waitFor([] { return false; }, 0.1);
            shown = openFailure(line);
        }
        EXPECT_EQ(shown.rfind("Cannot open port: ", 0), 0u) << shown;
        EXPECT_NE(shown.find(cause), std::string::npos) << shown;
    }
    EXPECT_TRUE(ordersReceived().empty()) << "no request reached the controller";

    // A second client while another holds the line: the server's refusal, in its own words. The
    // first is the one holding it once the server has not sent it away at once.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::stoi(raw.substr(raw.rfind(':') + 1)));
    int first = -1;
    const double heldPatience = Timer() + 5;
    while (first < 0 && Timer() < heldPatience) {
        first = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(::connect(first, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        pollfd sentAway{first, POLLIN, 0};
        if (::poll(&sentAway, 1, 300) > 0) {
            ::close(first);
            first = -1;
            waitFor([] { return false; }, 0.1);
        }
    }
    ASSERT_GE(first, 0) << "the server never let a client hold the line";
    const std::string second = openFailure(server.rawLine());
    ::close(first);
    EXPECT_NE(second.find("closed the connection, saying \"Port already in use\""),
              std::string::npos)
        << second;
}

// ser2net, given a path, locks it under that path's name; the program honours that lock and takes
// it too beside the device's own, so that neither opens the device under the other.
TEST_F(NetworkTest, ADeviceNamedByALinkIsBusyForSer2netAndTheProgramEachWhileTheOtherHoldsIt) {
    Ser2net byLink;
    std::string error;
    ASSERT_TRUE(byLink.start(link, "19200n81", &error)) << error;
    QByteArray pathName = QByteArray::fromStdString(link);
    pathName.replace('/', '_');
    const QString theirLock = "/run/lock/LCK.." + QString::fromUtf8(pathName);

    // ser2net opens its device for a client.
    const std::string raw = byLink.rawLine();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::stoi(raw.substr(raw.rfind(':') + 1)));
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_TRUE(waitFor([&] { return QFile::exists(theirLock); }, 5.0)) << "ser2net's lock";
    EXPECT_EQ(OpenComConfig(3, link.c_str(), 19200, 0, 8, 1, 4096, 4096), COM_CANNOT_OPEN_PORT);
    EXPECT_NE(std::string(ComOpenFailureCause(3)).find("is in use by another program (ser2net"),
              std::string::npos)
        << ComOpenFailureCause(3);
    ::close(client);
    ASSERT_TRUE(waitFor([&] { return !QFile::exists(theirLock); }, 5.0));

    // Held here, through the link, the device is busy for ser2net given the link.
    ASSERT_EQ(OpenComConfig(3, link.c_str(), 19200, 0, 8, 1, 4096, 4096), 0)
        << ComOpenFailureCause(3);
    startOn(byLink.rawLine());
    EXPECT_NE(status().find("\"Device open failure: Object was already in use\""),
              std::string::npos)
        << status();
    CloseCom(3);
    EXPECT_FALSE(QFile::exists(theirLock)) << "the program's own lock goes with the port";
}

// A server slow to answer holds neither the window nor the ring: the status line says the port is
// connecting, and a device typed into the ring meanwhile takes over with one start-up.
TEST_F(NetworkTest, AServerSlowToAnswerLeavesTheWindowAndTheRingUsable) {
    // The kernel completes the connection; nobody ever answers the RFC 2217 negotiation.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    const std::string silent = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    std::string shownWhileConnecting;
    QTimer::singleShot(300, window(), [&] {
        shownWhileConnecting = status();
        auto *ring = control<QComboBox>("PANEL_DROPDCOM");
        ring->lineEdit()->setText(QString::fromStdString(link));
        QTest::keyClick(ring->lineEdit(), Qt::Key_Return);
    });
    const double started = Timer();
    startOn(silent);
    ::close(listener);
    EXPECT_EQ(shownWhileConnecting, "COM1: connecting to " + silent + " ...");
    EXPECT_LT(Timer() - started, 2.0) << "the pick ends the wait, not the server's 3 s limit";
    EXPECT_EQ(GetComPortOfDevice(link.c_str()), com);
    EXPECT_EQ(status(), kvsim::FIRMWARE_TEXT);
    EXPECT_EQ(ordersReceived(), (std::vector<int>{5, 2, 7})) << "one start-up, on the port typed";
    EXPECT_EQ(GetInQLen(1), COM_PORT_NOT_OPEN) << "the abandoned line stays closed";
}

// kelvaro COMMAND over the network as a production line runs it: a frame log, and two
// controllers behind two servers programmed at once.
TEST_F(NetworkTest, TheCommandLineWithItsFrameLogAndParallelFlashWorksOverTheNetwork) {
    kvsim::Simulator second(kvsim::Simulator::Options{true, {}, 2, {}});
    Ser2net secondServer;
    std::string error;
    ASSERT_TRUE(second.start(link + "-second", &error)) << error;
    ASSERT_TRUE(secondServer.start(second.devicePath(), "19200n81", &error)) << error;
    const QString table = workingFolder.filePath("CONconfig.dat");
    WriteFile(table, CorrectionFileText());
    const QString log = workingFolder.filePath("frames.log");
    const auto kelvaro = [&](QProcess &program, const std::string &line, QStringList arguments) {
        program.setWorkingDirectory(workingFolder.path());
        program.start(KelvaroProgram(),
                      QStringList{"--port", QString::fromStdString(line)} + arguments);
    };

    QProcess get;
    kelvaro(get, server.rfc2217Line(), {"--log", log, "get", "ram"});
    ASSERT_TRUE(get.waitForFinished(20000));
    EXPECT_EQ(get.exitCode(), 0) << get.readAllStandardError().toStdString();
    EXPECT_EQ(get.readAllStandardOutput().count('\n'), 16);
    const QString frames = QString::fromUtf8(ReadFile(log));
    EXPECT_TRUE(frames.contains("\tTX\t36\t00 55 00 02 ")) << frames.toStdString();
    EXPECT_TRUE(frames.contains("\tRX\t36\t")) << frames.toStdString();

    QProcess first;
    QProcess other;
    kelvaro(first, server.rawLine(), {"flash", table});
    kelvaro(other, secondServer.rfc2217Line(), {"flash", table});
    for (QProcess *program : {&first, &other}) {
        ASSERT_TRUE(program->waitForFinished(30000));
        EXPECT_EQ(program->exitCode(), 0) << program->readAllStandardError().toStdString();
    }
    EXPECT_EQ(sim.flashPage(7)[255], 1023);
    EXPECT_EQ(second.flashPage(7)[255], 1023);
    EXPECT_TRUE(QFile::exists(workingFolder.filePath("LTlinear.dat")));
    secondServer.stop();
    second.stop();
}

namespace {

// A hostile line: a server on a loopback port that, once a client connects, sends opening and
// then bytes as fast as the connection takes them until it is told to stop.
class FloodServer {
  public:
    explicit FloodServer(std::string opening = {}) : opening_(std::move(opening)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::listen(listener_, 4);
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            const int client = ::accept(listener_, nullptr, nullptr);
            const std::vector<char> junk(512, 0x17);
            if (client >= 0)
                ::send(client, opening_.data(), opening_.size(), MSG_NOSIGNAL);
            while (client >= 0 && !stop_ &&
                   ::send(client, junk.data(), junk.size(), MSG_NOSIGNAL) > 0) {
            }
            if (client >= 0)
                ::close(client);
        });
    }
    ~FloodServer() {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::string line(const char *scheme = "tcp") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
    }

  private:
    std::string opening_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace

// A raw line that floods bytes gives no answer that is taken: the command says why and ends as
// one that got no answer.
TEST(NetworkFlood, ALineThatFloodsBytesGivesNoAnswerThatIsTaken) {
    FloodServer flood;
    QProcess program;
    program.start(KelvaroProgram(), {"--port", QString::fromStdString(flood.line()), "info"});
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitCode(), 3);
    EXPECT_TRUE(program.readAllStandardOutput().isEmpty());
    const QString said = QString::fromLocal8Bit(program.readAllStandardError()).trimmed();
    EXPECT_TRUE(said.endsWith("not its answer; nothing was taken") ||
                said.endsWith("another device talking?); nothing was taken"))
        << said.toStdString();
    EXPECT_TRUE(said.contains("read error: ")) << said.toStdString();

    FloodServer live;
    QProcess monitor;
    monitor.start(KelvaroProgram(),
                  {"--port", QString::fromStdString(live.line()), "monitor", "--seconds", "1"});
    ASSERT_TRUE(monitor.waitForFinished(20000));
    EXPECT_EQ(monitor.exitCode(), 3);
    EXPECT_TRUE(monitor.readAllStandardOutput().isEmpty()) << "not even the start-up answered";
}

// An RFC 2217 server that opens a subnegotiation and never ends it, flooding: the program's memory
// stays flat and the line is refused with its cause when the server confirms nothing.
TEST(NetworkFlood, AnEndlessSubnegotiationCostsNoMemoryAndTheLineIsRefused) {
    const char telnetIac = char(255), subnegotiation = char(250), comPortOption = char(44);
    FloodServer flood(std::string{telnetIac, subnegotiation, comPortOption});
    QProcess program;
    program.start(KelvaroProgram(),
                  {"--port", QString::fromStdString(flood.line("rfc2217")), "info"});
    ASSERT_TRUE(program.waitForStarted());
    const QString status = QString("/proc/%1/status").arg(program.processId());
    long peakKiB = 0;
    while (!program.waitForFinished(20)) {
        QFile file(status);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &row : file.readAll().split('\n'))
            if (row.startsWith("VmHWM:"))
                peakKiB = std::max(peakKiB, row.mid(6).trimmed().split(' ').first().toLong());
    }
    EXPECT_EQ(program.exitCode(), 2);
    const QString said = QString::fromLocal8Bit(program.readAllStandardError());
    EXPECT_TRUE(said.contains("did not confirm RFC 2217")) << said.toStdString();
    EXPECT_LT(peakKiB, 300 * 1024) << "the program's peak resident memory, KiB";
}
