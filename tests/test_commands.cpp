// The kelvaro executable as operators and production lines start it: its help and refusals, the
// window offscreen against the simulator and ended by a signal, and kelvaro COMMAND, checked by
// its output, its messages and its exit status.
#include "program_fixture.h"

#include "json.h"

using kelvaro::JsonValue;
using kelvaro::ParseJson;
using kelvaro::StringMember;

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <functional>
#include <unistd.h>

namespace {

QProcessEnvironment withoutDisplay() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "KELVARO_COM1"})
        env.remove(name);
    return env;
}

// How a run ended: its exit status (-1 for a crash), its output and its messages, a line each.
struct Outcome {
    int code;
    QString out;
    QStringList messages;
};

Outcome finished(QProcess &program) {
    EXPECT_TRUE(program.waitForFinished(30000));
    return {program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1,
            QString::fromLocal8Bit(program.readAllStandardOutput()),
            QString::fromLocal8Bit(program.readAllStandardError()).split('\n', Qt::SkipEmptyParts)};
}

Outcome run(const QStringList &arguments, const QProcessEnvironment &env = withoutDisplay()) {
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(KelvaroProgram(), arguments);
    return finished(program);
}

bool waitFor(const std::function<bool()> &done) {
    for (int i = 0; i < 500 && !done(); ++i)
        QThread::msleep(10);
    return done();
}

QString setText(const kvsim::Words &words) {
    QString text;
    for (uint16_t word : words)
        text += QString::number(word).rightJustified(4) + "\n";
    return text;
}

} // namespace

TEST(Executable, WithoutADisplayTheWindowSaysWhyAndHelpVersionAndAWrongUseAnswerAlike) {
    const Outcome window = run({});
    EXPECT_EQ(window.code, 255) << "an exit, not an abort";
    EXPECT_EQ(window.messages.size(), 1) << window.messages.join('|').toStdString();

    const Outcome version = run({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, QString("kelvaro %1\n").arg(KELVARO_VERSION));

    const Outcome help = run({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.startsWith("usage: kelvaro")) << help.out.toStdString();
    // Run from its build tree, the program keeps the operator's files beside itself: the working
    // folder.
    EXPECT_TRUE(help.out.contains("Working folder (file dialogs, CONconfig.dat): " +
                                  QCoreApplication::applicationDirPath() + "\n"))
        << help.out.toStdString();
    QProcessEnvironment chosen = withoutDisplay();
    chosen.insert("KELVARO_DIR", "/srv/line7");
    EXPECT_TRUE(run({"--help"}, chosen).out.contains(": /srv/line7\n"));

    const Outcome wrong = run({"--colour"});
    EXPECT_EQ(wrong.code, 1);
    EXPECT_TRUE(wrong.out.isEmpty());
    EXPECT_EQ(wrong.messages.value(0), "kelvaro: unknown option --colour");
    EXPECT_TRUE(wrong.messages.value(1).startsWith("usage:"));
    EXPECT_EQ(run({"--port"}).code, 1);
}

// The manners of Debian's command-line tools: short and long help and version, --name=VALUE,
// options after the command word, help COMMAND, and wrong uses that say what is wrong.
TEST(Executable, ReadsItsArgumentsAsShellUsersExpect) {
    EXPECT_EQ(run({"-V"}).out, run({"--version"}).out);
    EXPECT_EQ(run({"-h"}).out, run({"--help"}).out);
    const Outcome help = run({"help", "monitor"});
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.startsWith(
        "usage: kelvaro [--port DEVICE] [--log FILE] monitor [--count N] [--seconds S]\n"))
        << help.out.toStdString();
    EXPECT_EQ(run({"monitor", "--help"}).out, help.out);
    EXPECT_EQ(run({"help", "colour"}).code, 1);

    const std::vector<std::pair<QStringList, QString>> wrongUses = {
        {{"--port", "/dev/a", "info", "--port", "/dev/b"}, "kelvaro: --port given more than once"},
        {{"monitor", "--count", "abc"},
         "kelvaro: monitor: --count \"abc\" is not a whole number "
         "above 0"},
        {{"monitor", "--count=2.5"},
         "kelvaro: monitor: --count \"2.5\" is not a whole number "
         "above 0"},
        {{"monitor", "--seconds", "inf"},
         "kelvaro: monitor: --seconds \"inf\" is not a number "
         "above 0"},
        {{"info", "--count", "3"}, "kelvaro: info does not take --count"},
        {{"get"}, "kelvaro: get: too few arguments"},
        {{"get", "flash"}, "kelvaro: get: \"flash\" is not ram or eeprom"},
        {{"colour"}, "kelvaro: unknown command colour"},
        {{"--version=2"}, "kelvaro: --version takes no value"},
    };
    for (const auto &[arguments, message] : wrongUses) {
        const Outcome wrong = run(arguments);
        EXPECT_EQ(wrong.code, 1) << arguments.join(' ').toStdString();
        EXPECT_EQ(wrong.messages.value(0), message) << arguments.join(' ').toStdString();
        EXPECT_TRUE(wrong.out.isEmpty());
    }
}

class CommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sim.start(link, &error)) << error;
        // The commands run without a display, and without the panel file beside the program.
        ASSERT_TRUE(QDir().mkpath(dir.filePath("bin")));
        ASSERT_TRUE(QFile::copy(KelvaroProgram(), program));
    }
    void TearDown() override { sim.stop(); }
    // Starts kelvaro --port PORT arguments... in the test's folder.
    void start(QProcess &process, const QStringList &arguments, const std::string &port) {
        QProcessEnvironment env = withoutDisplay();
        env.insert("KELVARO_DIR", dir.path()); // the journal's folder, the test's own
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(dir.path());
        process.start(program, QStringList{"--port", QString::fromStdString(port)} + arguments);
    }
    Outcome kelvaro(const QStringList &arguments, const std::string &port = {}) {
        QProcess program;
        start(program, arguments, port.empty() ? link : port);
        return finished(program);
    }

    QTemporaryDir dir;
    std::string link = dir.filePath("COM1").toStdString();
    QString program = dir.filePath("bin/kelvaro");
    kvsim::Simulator sim;
};

// The window, offscreen, against the simulator.
class WindowTest : public CommandTest {
  protected:
    // Starts the window of program with the device in the environment or named by --port.
    void startWindow(QProcess &program, bool portOption, const QString &path = KelvaroProgram()) {
        QProcessEnvironment env = withoutDisplay();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        if (!portOption)
            env.insert("KELVARO_COM1", QString::fromStdString(link));
        program.setProcessEnvironment(env);
        program.start(path, portOption ? QStringList{"--port", QString::fromStdString(link)}
                                       : QStringList{});
    }
};

TEST_F(WindowTest, StartsWithEchoCheckRamReadAndFirmwareRequestAndEndsCleanlyOnSigtermOrHangUp) {
    for (const int signal : {SIGTERM, SIGHUP}) {
        sim.clearRequests();
        QProcess program;
        startWindow(program, signal == SIGHUP);
        ASSERT_TRUE(waitFor([this] { return OrdersOf(sim).size() >= 3; }));
        QThread::msleep(300);

        ::kill(program.processId(), signal);
        const Outcome ended = finished(program);
        EXPECT_EQ(ended.code, 0) << signal << ended.messages.join('|').toStdString();
        EXPECT_EQ(OrdersOf(sim), (std::vector<int>{5, 2, 7})) << signal;
    }
}

TEST_F(WindowTest, WithoutItsPanelFileItEndsWithMinusOneBeforeOpeningThePort) {
    const QString copy = dir.filePath("kelvaro");
    ASSERT_TRUE(QFile::copy(KelvaroProgram(), copy));
    QProcess program;
    startWindow(program, false, copy);
    const Outcome ended = finished(program);
    EXPECT_EQ(ended.code, 255);
    EXPECT_TRUE(ended.messages.join('|').contains("cannot load the panel"));
    QThread::msleep(100);
    EXPECT_TRUE(OrdersOf(sim).empty());
}

// The pair the demo starts: the kelvaro-sim program serving a link, kelvaro asking it.
TEST(Executable, AsksTheSimulatorProgramOverItsLink) {
    QTemporaryDir dir;
    const QString link = dir.filePath("COM1");
    QProcess sim;
    sim.start(QCoreApplication::applicationDirPath() + "/kelvaro-sim",
              {"--link", link, "--log-orders"});
    ASSERT_TRUE(sim.waitForReadyRead(10000)) << "the simulator says where it serves";
    EXPECT_TRUE(sim.readLine().startsWith("kelvaro-sim: serving " + link.toLocal8Bit()));

    const Outcome info = run({"--port", link, "info"});
    EXPECT_EQ(info.code, 0) << info.messages.join('|').toStdString();
    EXPECT_EQ(info.out, QString(kvsim::FIRMWARE_TEXT) + "\n");
    sim.terminate();
    ASSERT_TRUE(sim.waitForFinished(10000));
    EXPECT_EQ(sim.readAllStandardOutput(), "order 5\norder 2\norder 7\n");
    EXPECT_FALSE(QFile::exists(link)) << "the link goes with the simulator";
}

TEST_F(CommandTest, InfoGetSendTeachAndResetPrintWhatTheControllerHoldsAndSucceed) {
    // Options after the command word, and --name=VALUE.
    const Outcome info = run({"info", "--port=" + QString::fromStdString(link)});
    EXPECT_EQ(info.code, 0);
    EXPECT_EQ(info.out, QString(kvsim::FIRMWARE_TEXT) + "\n");
    EXPECT_EQ(info.messages.first(), "Echo Check - Line Ok!")
        << "the status texts go to standard error, but for the window's first";
    EXPECT_EQ(info.messages.last(), kvsim::FIRMWARE_TEXT);
    EXPECT_EQ(OrdersOf(sim), (std::vector<int>{5, 2, 7}));

    kvsim::Words eeprom = sim.eeprom();
    eeprom[0] = 1234;
    eeprom[15] = 65535;
    sim.setEeprom(eeprom);
    const Outcome get = kelvaro({"get", "eeprom"});
    EXPECT_EQ(get.code, 0);
    EXPECT_EQ(get.out, setText(eeprom));
    EXPECT_EQ(get.messages.last(), "Data Transfer Ok!");

    const QString file = dir.filePath("line7.dat");
    WriteFile(file, "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n12\n13\n14\n15\n16\n");
    const Outcome send = kelvaro({"send", "ram", file});
    EXPECT_EQ(send.code, 0);
    EXPECT_TRUE(send.out.isEmpty());
    EXPECT_EQ(send.messages.last(), "Transmit Ok!");
    ASSERT_TRUE(waitFor([this] { return sim.ram()[15] == 16; }));
    EXPECT_EQ(WordsOf(sim.ram()),
              (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    // Each word reaches its own operation; the printer is get's.
    EXPECT_TRUE(kelvaro({"teach"}).messages.contains("New setpoint value teached!"));
    EXPECT_EQ(kelvaro({"reset"}).out, setText(kvsim::Simulator::factorySet()));
}

TEST_F(CommandTest, MonitorPrintsOneRowAnAnswerUntilTheCountOrASignal) {
    sim.scriptNorm({11, 22, 33, 44, 55});
    const Outcome counted = kelvaro({"monitor", "--count", "5"});
    EXPECT_EQ(counted.code, 0);
    const QStringList rows = counted.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 6);
    EXPECT_EQ(rows[0], "time_s,norm,a,b,amax,bmax,up,lo,tol,btn,ref_led,tol_led");
    for (int i = 1; i <= 5; ++i) {
        const QStringList columns = rows[i].split(',');
        ASSERT_EQ(columns.size(), 12);
        EXPECT_EQ(columns[1].toInt(), 11 * i);
    }

    // Without a count only the signal ends it: the frame log reaches the disk while frames flow.
    const QString log = dir.filePath("frames.log");
    QProcess program;
    start(program, {"--log", log, "monitor"}, link);
    ASSERT_TRUE(waitFor([&] { return QFileInfo(log).size() > 0; }));
    ::kill(program.processId(), SIGINT);
    const Outcome interrupted = finished(program);
    EXPECT_EQ(interrupted.code, 0);
    EXPECT_TRUE(interrupted.out.endsWith("\n")) << "the last row is complete";
    EXPECT_GE(interrupted.out.count('\n'), 3);
    // The answer to the counted run's last request may still wait on the line: it is discarded.
    const QStringList frames = QString(ReadFile(log)).split('\n');
    const QStringList sent = frames.filter("\tTX\t");
    ASSERT_FALSE(sent.isEmpty());
    EXPECT_TRUE(sent.first().contains("\tTX\t36\t")) << sent.first().toStdString();
    EXPECT_TRUE(sent.first().contains("\tLINE_CHECK")) << sent.first().toStdString();
    EXPECT_EQ(frames.last(), "") << "the last line is complete";
}

// The rows are the recording's curve export: its own test checks them.
TEST_F(CommandTest, CapturePrintsTheSimulatorsCurve) {
    const Outcome norm = kelvaro({"capture", "norm"});
    EXPECT_EQ(norm.code, 0);
    EXPECT_TRUE(norm.out.startsWith("i,norm,upper,lower,reference\n0,"));
}

TEST_F(CommandTest, FailuresEndWithTheirExitStatusAndMessage) {
    // Results that could not be written: a full disk, a reader that went away.
    QProcess full;
    full.setStandardOutputFile("/dev/full");
    start(full, {"get", "ram"}, link);
    const Outcome unwritten = finished(full);
    EXPECT_EQ(unwritten.code, 4);
    EXPECT_EQ(unwritten.messages.last(), "kelvaro: the results could not be written to standard "
                                         "output: No space left on device");
    QProcess gone;
    gone.setProcessEnvironment(withoutDisplay());
    gone.start("bash", {"-c", "\"$0\" --port \"$1\" monitor | head -n 3; exit ${PIPESTATUS[0]}",
                        KelvaroProgram(), QString::fromStdString(link)});
    const Outcome closed = finished(gone);
    EXPECT_EQ(closed.out.count('\n'), 3);
    EXPECT_EQ(closed.code, 4) << "not killed by SIGPIPE";
    EXPECT_TRUE(closed.messages.last().endsWith("Broken pipe"));
    EXPECT_EQ(kelvaro({"info"}).code, 0) << "the port was let go";

    sim.setFaults(Fault(&kvsim::Faults::refuseEraseAt, 0x1610));
    WriteFile(dir.filePath("CONconfig.dat"), CorrectionFileText());
    const Outcome refused = kelvaro({"flash", dir.filePath("CONconfig.dat")});
    EXPECT_EQ(refused.code, 5);
    EXPECT_TRUE(refused.messages.contains("error : F801 FLASH page6-write <255 words!"));

    sim.setFaults(Fault(&kvsim::Faults::silent, true));
    const Outcome none = kelvaro({"get", "ram"});
    EXPECT_EQ(none.code, 3);
    EXPECT_TRUE(none.messages.last().startsWith(
        "Timeout < 36 Bytes: no answer on COM1: " + QString::fromStdString(link) + " within 2 s"))
        << none.messages.last().toStdString();

    const Outcome missing = kelvaro({"info"}, "/nonexistent/ttyUSB9");
    EXPECT_EQ(missing.code, 2);
    EXPECT_EQ(missing.messages.last(),
              "Cannot open port: the device /nonexistent/ttyUSB9 does not exist");
}

// Answers the line does not delimit are not taken: stray bytes before them, or bytes faster than
// 19200 baud carries them. The command says why, prints nothing and exits 3.
TEST_F(CommandTest, AnswersTheLineDoesNotDelimitAreNotTakenAndExitThree) {
    kvsim::Faults stray;
    stray.strayBytes = 1;
    stray.faultyOrder = kvsim::LIVE_VALUES;
    sim.setFaults(stray);
    const Outcome monitor = kelvaro({"monitor", "--seconds", "1"});
    EXPECT_EQ(monitor.code, 3);
    EXPECT_EQ(monitor.out.count('\n'), 1) << "the header, and no row";
    EXPECT_TRUE(monitor.messages.last().endsWith("answers were not taken: the rows have gaps"));

    kvsim::Simulator fast(kvsim::Simulator::Options{false, {}, 2, {}});
    const std::string fastLink = dir.filePath("COM2").toStdString();
    std::string error;
    ASSERT_TRUE(fast.start(fastLink, &error)) << error;
    const Outcome info = kelvaro({"info"}, fastLink);
    EXPECT_EQ(info.code, 3);
    EXPECT_TRUE(info.out.isEmpty());
    EXPECT_TRUE(info.messages.last().contains("before 19200 baud can have carried the request"))
        << info.messages.last().toStdString();
    fast.stop();
}

// Numbers that do not fit a word are refused, with the line, before a byte goes on the line: a
// send would otherwise store 70000 as 4464, a flash 70000 as 0x1170.
TEST_F(CommandTest, ValuesThatDoNotFitAWordAreRefusedBeforeTheLineIsOpened) {
    WriteFile(dir.filePath("wide.dat"),
              "1\n2\n70000\n4\n5\n6\n7\n8\n9\n10\n11\n12\n13\n14\n15\n16\n");
    for (const char *target : {"ram", "eeprom"}) {
        const Outcome send = kelvaro({"send", target, dir.filePath("wide.dat")});
        EXPECT_EQ(send.code, 4);
        EXPECT_EQ(send.messages.last(), "Error reading parameter-file!: wide.dat line 3: \"70000\" "
                                        "is not a whole number from 0 to 65535");
    }
    QByteArray table = CorrectionFileText();
    table.replace("1000 23\n", "70000 23\n");
    WriteFile(dir.filePath("CONconfig.dat"), table);
    const Outcome flash = kelvaro({"flash", dir.filePath("CONconfig.dat")});
    EXPECT_EQ(flash.code, 4);
    EXPECT_EQ(flash.messages.last(), "Error reading correction-file!: CONconfig.dat line 1001: "
                                     "\"70000\" is not a whole number from 0 to 65535");
    EXPECT_FALSE(QFile::exists(dir.filePath("LTlinear.dat"))) << "nothing is written";
    EXPECT_TRUE(OrdersOf(sim).empty()) << "nothing is sent";
    EXPECT_EQ(sim.ram(), kvsim::Simulator::factorySet());
}

// A device that goes away ends the command with the port's exit status, naming the device, in the
// command line's words.
TEST_F(CommandTest, ADeviceThatGoesAwayEndsTheCommandAsAPortThatCannotBeOpened) {
    QProcess monitoring;
    start(monitoring, {"monitor"}, link);
    ASSERT_TRUE(waitFor([this] { return OrdersOf(sim).size() > 6; }));
    sim.stop();
    const Outcome monitor = finished(monitoring);
    EXPECT_EQ(monitor.code, 2);
    const QString device = QString::fromStdString(link);
    EXPECT_EQ(monitor.messages.value(monitor.messages.size() - 2),
              "COM1: " + device + " is gone (it hung up) - the command could not finish");
    EXPECT_EQ(monitor.messages.last(),
              "kelvaro: " + device + " went away during the command (it hung up)");
}

// Without --port the command line says which device it took, and why.
TEST_F(CommandTest, WithoutPortItSaysWhichDeviceItTookAndWhy) {
    QProcess program;
    QProcessEnvironment env = withoutDisplay();
    env.insert("KELVARO_COM1", QString::fromStdString(link));
    program.setProcessEnvironment(env);
    program.start(KelvaroProgram(), {"info"});
    const Outcome info = finished(program);
    EXPECT_EQ(info.code, 0);
    EXPECT_EQ(info.messages.first(), "kelvaro: no --port given: COM1 is " +
                                         QString::fromStdString(link) + ", named by $KELVARO_COM1");
}

// An unprivileged user outside the group that owns the device. The program runs from a copy that
// user may read: the checkout may sit in a folder only its owner enters (/root).
TEST_F(CommandTest, TheOperatorWhoMayNotOpenTheDeviceIsToldTheRemedy) {
    if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
        GTEST_SKIP() << "needs root and setpriv, to run the command as an unprivileged user";
    QTemporaryDir readable(QDir::tempPath() + "/kelvaro-program-XXXXXX");
    ASSERT_TRUE(QFile::setPermissions(
        readable.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                             QFileDevice::ReadOther | QFileDevice::ExeOther));
    const QString copy = readable.filePath("kelvaro");
    for (const char *file : {"kelvaro", "KELVARO1V10.uir"})
        ASSERT_TRUE(QFile::copy(QCoreApplication::applicationDirPath() + "/" + file,
                                readable.filePath(file)));
    const QString device = QString::fromStdString(sim.devicePath());
    QProcess program;
    program.setProcessEnvironment(withoutDisplay());
    program.setWorkingDirectory(readable.path());
    program.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", copy, "--port",
                              device, "info"});
    const Outcome denied = finished(program);
    EXPECT_EQ(denied.code, 2);
    EXPECT_EQ(denied.messages.last(),
              "Cannot open port: permission denied on " + device +
                  ": run sudo usermod -aG dialout $USER, then log in again");
}

// diff: the words that differ, one a line, and an exit status of its own; two files need no port.
TEST_F(CommandTest, DiffPrintsTheWordsThatDifferAndSaysSoByItsExitStatus) {
    kvsim::Words other = sim.ram();
    other[2] = 777;
    other[15] = 65535;
    WriteFile(dir.filePath("same.dat"), setText(sim.ram()).toUtf8());
    WriteFile(dir.filePath("other.dat"), setText(other).toUtf8());
    const Outcome same = kelvaro({"diff", "ram", dir.filePath("same.dat")});
    EXPECT_EQ(same.code, 0);
    EXPECT_TRUE(same.out.isEmpty());
    const Outcome differ = kelvaro({"diff", "ram", dir.filePath("other.dat")});
    EXPECT_EQ(differ.code, 6);
    EXPECT_EQ(differ.out, QString("2\tTolerance\t%1\t777\n15\tword 15\t%2\t65535\n")
                              .arg(sim.ram()[2])
                              .arg(sim.ram()[15]));

    kvsim::Words eeprom = sim.ram();
    eeprom[5] = sim.ram()[5] == 9 ? 8 : 9;
    sim.setEeprom(eeprom);
    const Outcome stored = kelvaro({"diff", "eeprom", "ram"});
    EXPECT_EQ(stored.code, 6) << "the RAM's set, not the EEPROM's read just before";
    EXPECT_EQ(stored.out, QString("5\tHold\t%1\t%2\n").arg(eeprom[5]).arg(sim.ram()[5]));

    sim.clearRequests();
    const Outcome files =
        kelvaro({"diff", dir.filePath("same.dat"), dir.filePath("other.dat")}, "/nonexistent/tty");
    EXPECT_EQ(files.code, 6) << "two files are compared without the port";
    EXPECT_TRUE(OrdersOf(sim).empty());
    const Outcome missing = kelvaro({"diff", "eeprom", dir.filePath("missing.dat")});
    EXPECT_EQ(missing.code, 4);
    EXPECT_TRUE(OrdersOf(sim).empty()) << "the file is read before the line is opened";
}

// --json: one document (monitor: one object a line), the words also by name, equal to what the
// simulator holds.
TEST_F(CommandTest, JsonOutputIsWhatTheControllerHolds) {
    const auto parse = [](const QString &text) {
        JsonValue value;
        std::string why;
        EXPECT_TRUE(ParseJson(text.toStdString(), &value, &why)) << why;
        return value;
    };
    const JsonValue info = parse(kelvaro({"info", "--json"}).out);
    EXPECT_EQ(*StringMember(info, "firmware"), kvsim::FIRMWARE_TEXT);
    EXPECT_EQ(*StringMember(info, "device"), link);
    const JsonValue get = parse(kelvaro({"--json", "get", "eeprom"}).out);
    EXPECT_EQ(get.member("para15")->number, sim.eeprom()[15]);

    WriteFile(dir.filePath("other.dat"), QString("1\n").repeated(16).toUtf8());
    const Outcome differ = kelvaro({"diff", "ram", dir.filePath("other.dat"), "--json"});
    const JsonValue diff = parse(differ.out);
    EXPECT_FALSE(diff.member("equal")->boolean);
    EXPECT_EQ(*StringMember(diff.member("differences")->items[0], "key"), "power");

    const Outcome capture = kelvaro({"capture", "raw", "--json"});
    const JsonValue curve = parse(capture.out);
    const std::array<uint16_t, kvsim::CURVE_WORDS> expected = sim.curve(false);
    ASSERT_EQ(curve.member("b")->items.size(), 128u);
    EXPECT_EQ(curve.member("b")->items[127].number, expected[255]);

    sim.scriptNorm({11, 22, 33});
    const Outcome monitor = kelvaro({"monitor", "--count", "3", "--json"});
    const QStringList rows = monitor.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(parse(rows[i]).member("norm")->number, 11 * (i + 1));
}

// The command line reads the set a write replaces just before writing it.
TEST_F(CommandTest, TheCommandLineJournalsItsWritesWithTheSetReadJustBefore) {
    kvsim::Words eeprom = sim.eeprom();
    eeprom[3] = 99;
    sim.setEeprom(eeprom);
    WriteFile(dir.filePath("set.dat"), setText(sim.ram()).toUtf8());
    ASSERT_EQ(kelvaro({"send", "eeprom", dir.filePath("set.dat")}).code, 0);
    const QList<QByteArray> lines = ReadFile(dir.filePath("kelvaro-journal.jsonl")).split('\n');
    ASSERT_GE(lines.size(), 2);
    JsonValue write;
    ASSERT_TRUE(ParseJson(lines[0].toStdString(), &write, nullptr));
    const JsonValue &record = *write.member("record");
    EXPECT_EQ(*StringMember(*record.member("before"), "source"), "read fresh");
    EXPECT_EQ(record.member("before")->member("words")->items[3].number, 99);
    ASSERT_TRUE(waitFor([this] { return OrdersOf(sim).size() == 5; }));
    EXPECT_EQ(OrdersOf(sim), (std::vector<int>{5, 2, 7, 4, 3}))
        << "the start-up, the EEPROM read before, then the write";

    // A journal that can't be written keeps the write from going out: a file error.
    ASSERT_TRUE(QFile::remove(dir.filePath("kelvaro-journal.jsonl")));
    ASSERT_TRUE(QDir(dir.path()).mkdir("kelvaro-journal.jsonl"));
    EXPECT_EQ(kelvaro({"teach"}).code, 4);
}
