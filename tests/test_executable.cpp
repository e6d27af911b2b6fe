// The kelvaro executable as an operator starts it: against the simulator process, offscreen,
// ended by SIGTERM or SIGHUP; its refusals without a panel file or a display; its help.
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

namespace {

QString binary(const char *name) {
    return QCoreApplication::applicationDirPath() + "/" + name;
}

struct SimProcess {
    QProcess process;
    QString link = QString("/tmp/kelvaro-exe-test-%1").arg(getpid());

    bool start() {
        process.start(binary("kelvaro-sim"), {"--link", link, "--log-orders"});
        return process.waitForStarted() && waitForLine("serving");
    }
    bool waitForLine(const QString &text, int ms = 10000) {
        while (!output.contains(text)) {
            if (!process.waitForReadyRead(ms))
                return false;
            output += QString::fromLocal8Bit(process.readAllStandardOutput());
        }
        return true;
    }
    QStringList orders() const {
        QStringList lines = output.split('\n', Qt::SkipEmptyParts);
        return lines.filter(QRegularExpression("^order "));
    }
    ~SimProcess() {
        process.terminate();
        process.waitForFinished();
    }
    QString output;
};

QProcessEnvironment programEnvironment(const QString &link) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("KELVARO_COM1", link);
    return env;
}

QProcessEnvironment withoutDisplay() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    return env;
}

struct Outcome {
    int code;
    QString out;
    QString err;
};

Outcome run(const QStringList &arguments, const QProcessEnvironment &env) {
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(binary("kelvaro"), arguments);
    program.waitForFinished(10000);
    return {program.exitCode(), QString::fromLocal8Bit(program.readAllStandardOutput()),
            QString::fromLocal8Bit(program.readAllStandardError())};
}

} // namespace

// Once with the device from the environment, once named by --port.
TEST(Executable, StartsWithEchoCheckRamReadAndFirmwareRequestAndEndsCleanlyOnSigtermOrHangUp) {
    for (const int signal : {SIGTERM, SIGHUP}) {
        SimProcess sim;
        ASSERT_TRUE(sim.start());
        QProcess program;
        QProcessEnvironment env = programEnvironment(sim.link);
        if (signal == SIGHUP)
            env.remove("KELVARO_COM1");
        program.setProcessEnvironment(env);
        program.start(binary("kelvaro"),
                      signal == SIGHUP ? QStringList{"--port", sim.link} : QStringList{});
        ASSERT_TRUE(program.waitForStarted());
        ASSERT_TRUE(sim.waitForLine("order 7"));
        QThread::msleep(300);

        ::kill(program.processId(), signal);
        ASSERT_TRUE(program.waitForFinished(5000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().constData();
        EXPECT_EQ(sim.orders(), (QStringList{"order 5", "order 2", "order 7"}));
    }
}

TEST(Executable, WithoutItsPanelFileItEndsWithMinusOneBeforeOpeningThePort) {
    SimProcess sim;
    ASSERT_TRUE(sim.start());
    QTemporaryDir dir;
    const QString copy = dir.filePath("kelvaro");
    ASSERT_TRUE(QFile::copy(binary("kelvaro"), copy));
    QProcess program;
    program.setProcessEnvironment(programEnvironment(sim.link));
    program.start(copy, {});
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 255);
    EXPECT_TRUE(program.readAllStandardError().contains("cannot load the panel"));
    QThread::msleep(100);
    sim.output += QString::fromLocal8Bit(sim.process.readAllStandardOutput());
    EXPECT_TRUE(sim.orders().isEmpty());
}

TEST(Executable, WithoutADisplayItEndsWithMinusOneAndSaysWhy) {
    const Outcome window = run({}, withoutDisplay());
    EXPECT_EQ(window.code, 255) << "an exit, not an abort";
    EXPECT_EQ(window.err.count('\n'), 1) << window.err.toStdString();
}

TEST(Executable, HelpAndVersionAnswerWithoutADisplayAndNameTheWorkingFolderAndAWrongUseFails) {
    const Outcome version = run({"--version"}, withoutDisplay());
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, QString("kelvaro %1\n").arg(KELVARO_VERSION));

    const Outcome help = run({"--help"}, withoutDisplay());
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.startsWith("usage: kelvaro")) << help.out.toStdString();
    // Run from its build tree, the program keeps the operator's files beside itself.
    EXPECT_TRUE(help.out.contains("Working folder (file dialogs, CONconfig.dat): " +
                                  QCoreApplication::applicationDirPath() + "\n"))
        << help.out.toStdString();

    QProcessEnvironment chosen = withoutDisplay();
    chosen.insert("KELVARO_DIR", "/srv/line7");
    EXPECT_TRUE(run({"--help"}, chosen).out.contains(": /srv/line7\n"));

    const Outcome wrong = run({"--colour"}, withoutDisplay());
    EXPECT_EQ(wrong.code, 1);
    EXPECT_TRUE(wrong.out.isEmpty());
    EXPECT_TRUE(wrong.err.startsWith("kelvaro: unexpected argument --colour\nusage:"))
        << wrong.err.toStdString();
    EXPECT_EQ(run({"--port"}, withoutDisplay()).code, 1);
}
