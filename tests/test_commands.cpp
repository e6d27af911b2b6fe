// The command line as a production line runs it: kelvaro COMMAND against the simulator, with
// no display, checked by its standard output, its messages and its exit status.
#include "program_fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <functional>
#include <unistd.h>

namespace {

struct Outcome {
    int code;
    QString out;
    QStringList messages;
};

QString binary() {
    return QCoreApplication::applicationDirPath() + "/kelvaro";
}

QProcessEnvironment withoutDisplay() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "KELVARO_COM1"})
        env.remove(name);
    return env;
}

Outcome finished(QProcess &program) {
    EXPECT_TRUE(program.waitForFinished(30000));
    return {program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1,
            QString::fromLocal8Bit(program.readAllStandardOutput()),
            QString::fromLocal8Bit(program.readAllStandardError()).split('\n', Qt::SkipEmptyParts)};
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

class CommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        link = dir.filePath("COM1").toStdString();
        std::string error;
        ASSERT_TRUE(sim.start(link, &error)) << error;
    }
    void TearDown() override { sim.stop(); }
    // kelvaro --port LINK arguments..., run in the test's folder.
    Outcome kelvaro(const QStringList &arguments, const std::string &port = {}) {
        QProcess program;
        program.setProcessEnvironment(withoutDisplay());
        program.setWorkingDirectory(dir.path());
        program.start(binary(),
                      QStringList{"--port", QString::fromStdString(port.empty() ? link : port)} +
                          arguments);
        return finished(program);
    }
    std::vector<int> orders() const {
        std::vector<int> codes;
        for (const kvsim::Request &request : sim.requests())
            codes.push_back(request.order);
        return codes;
    }

    QTemporaryDir dir;
    std::string link;
    kvsim::Simulator sim;
};

TEST_F(CommandTest, InfoGetSendTeachAndResetPrintWhatTheControllerHoldsAndSucceed) {
    const Outcome info = kelvaro({"info"});
    EXPECT_EQ(info.code, 0);
    EXPECT_EQ(info.out, QString(kvsim::FIRMWARE_TEXT) + "\n");
    EXPECT_EQ(info.messages,
              (QStringList{"InitVars", "Echo Check - Line Ok!", "Waiting for parameter-frame ...",
                           "Parameter-frame received! - Line Ok!", "Waiting for firmware info ...",
                           kvsim::FIRMWARE_TEXT}));
    EXPECT_EQ(orders(), (std::vector<int>{5, 2, 7}));

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

    const Outcome teach = kelvaro({"teach"});
    EXPECT_EQ(teach.code, 0);
    EXPECT_EQ(teach.out, setText(sim.ram()));
    EXPECT_TRUE(teach.messages.contains("New setpoint value teached!"));
    const Outcome reset = kelvaro({"reset"});
    EXPECT_EQ(reset.code, 0);
    EXPECT_EQ(reset.out, setText(kvsim::Simulator::factorySet()));
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

    const unsigned long before = sim.requestCount();
    QProcess program;
    program.setProcessEnvironment(withoutDisplay());
    program.start(binary(), {"--port", QString::fromStdString(link), "monitor"});
    ASSERT_TRUE(waitFor([&] { return sim.requestCount() > before + 8; }));
    ::kill(program.processId(), SIGINT);
    const Outcome interrupted = finished(program);
    EXPECT_EQ(interrupted.code, 0);
    EXPECT_TRUE(interrupted.out.endsWith("\n")) << "the last row is complete";
    EXPECT_GE(interrupted.out.count('\n'), 3);
}

TEST_F(CommandTest, CapturePrintsTheSimulatorsCurve) {
    const Outcome raw = kelvaro({"capture", "raw"});
    EXPECT_EQ(raw.code, 0);
    const std::array<uint16_t, kvsim::CURVE_WORDS> curve = sim.curve(false);
    const QStringList rows = raw.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 129);
    EXPECT_EQ(rows[0], "i,a,b");
    EXPECT_EQ(rows[128], QString("127,%1,%2").arg(curve[127]).arg(curve[255]));

    const Outcome norm = kelvaro({"capture", "norm"});
    EXPECT_EQ(norm.code, 0);
    EXPECT_TRUE(norm.out.startsWith("i,norm,upper,lower,reference\n0,"));
}

namespace {

QByteArray correctionFile(int keyOffset = 0) {
    QByteArray text;
    for (int row = 0; row < 1024; ++row)
        text += QByteArray::number(row) + " " + QByteArray::number(1023 - row + keyOffset) + "\n";
    return text;
}

} // namespace

TEST_F(CommandTest, TwoFlashCommandsProgramTwoControllersAtOnceAndWriteTheTableHere) {
    kvsim::Simulator second(kvsim::Simulator::Options{true, {}, 2, {}});
    const std::string secondLink = dir.filePath("COM2").toStdString();
    std::string error;
    ASSERT_TRUE(second.start(secondLink, &error)) << error;
    const QString file = dir.filePath("CONconfig.dat");
    WriteFile(file, correctionFile());

    QProcess first;
    QProcess other;
    for (auto [program, port] : {std::pair{&first, link}, std::pair{&other, secondLink}}) {
        program->setProcessEnvironment(withoutDisplay());
        program->setWorkingDirectory(dir.path());
        program->start(binary(), {"--port", QString::fromStdString(port), "flash", file});
    }
    for (QProcess *program : {&first, &other}) {
        const Outcome flash = finished(*program);
        EXPECT_EQ(flash.code, 0);
        EXPECT_EQ(flash.messages.last(), "ok : F801 FLASH page7-write 255 words!");
    }
    EXPECT_EQ(sim.flashPage(7)[255], 1023);
    EXPECT_EQ(second.flashPage(7)[255], 1023);
    EXPECT_TRUE(QFile::exists(dir.filePath("LTlinear.dat")));
    second.stop();
}

TEST_F(CommandTest, FailuresEndWithTheirExitStatusAndMessage) {
    WriteFile(dir.filePath("bad.dat"), "1\n2\nthree\n");
    const Outcome send = kelvaro({"send", "eeprom", dir.filePath("bad.dat")});
    EXPECT_EQ(send.code, 4);
    EXPECT_EQ(send.messages.last(), "Error reading parameter-file!");
    EXPECT_EQ(orders(), (std::vector<int>{5, 2, 7})) << "the start-up only";

    WriteFile(dir.filePath("bad-keys.dat"), correctionFile(5));
    const Outcome keys = kelvaro({"flash", dir.filePath("bad-keys.dat")});
    EXPECT_EQ(keys.code, 4);
    EXPECT_EQ(keys.messages.last(), "Error: key out of 0..1023 in correction-file!");

    sim.setFaults(Fault(&kvsim::Faults::refuseEraseAt, 0x1610));
    WriteFile(dir.filePath("CONconfig.dat"), correctionFile());
    const Outcome refused = kelvaro({"flash", dir.filePath("CONconfig.dat")});
    EXPECT_EQ(refused.code, 5);
    EXPECT_TRUE(refused.messages.contains("error : F801 FLASH page6-write <255 words!"));

    sim.setFaults(Fault(&kvsim::Faults::wrongEcho, true));
    const Outcome wrong = kelvaro({"info"});
    EXPECT_EQ(wrong.code, 3);
    EXPECT_EQ(wrong.messages.last(), "read error - not sync byte 0xAA!");
    EXPECT_TRUE(wrong.out.isEmpty());

    sim.setFaults(Fault(&kvsim::Faults::silent, true));
    const Outcome none = kelvaro({"get", "ram"});
    EXPECT_EQ(none.code, 3);
    EXPECT_EQ(none.messages.last(), "Timeout < 36 Bytes");

    const Outcome missing = kelvaro({"info"}, "/nonexistent/ttyUSB9");
    EXPECT_EQ(missing.code, 2);
    EXPECT_EQ(missing.messages.last(),
              "Cannot open port: the device /nonexistent/ttyUSB9 does not exist");

    for (const QStringList &wrongUse :
         {QStringList{"get"}, QStringList{"get", "flash"}, QStringList{"monitor", "--count", "0"},
          QStringList{"colour"}}) {
        const Outcome usage = kelvaro(wrongUse);
        EXPECT_EQ(usage.code, 1) << wrongUse.join(' ').toStdString();
    }
}

TEST_F(CommandTest, TheOperatorWhoMayNotOpenTheDeviceIsToldTheRemedy) {
    if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
        GTEST_SKIP() << "needs root and setpriv, to run the command as an unprivileged user";
    QProcess program;
    program.setProcessEnvironment(withoutDisplay());
    program.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", binary(),
                              "--port", QString::fromStdString(link), "info"});
    const Outcome denied = finished(program);
    EXPECT_EQ(denied.code, 2);
    EXPECT_TRUE(denied.messages.last().startsWith("Cannot open port: permission denied on "))
        << denied.messages.join('|').toStdString();
    EXPECT_TRUE(denied.messages.last().endsWith("run sudo usermod -aG dialout $USER, then log in "
                                                "again"));
}
