// Parameter commands against the simulated controller's RAM and EEPROM, and parameter files:
// teach, reset, get and send, their status texts and time-outs, and bad files.
#include "program_fixture.h"

#include "filedialog.h"
#include "utility.h"

#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <QTest>

using namespace kelvaro;

namespace {

QByteArray readFile(const QString &path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

void showOnPanel(const std::vector<int> &set) {
    SetProgramParameters(set);
    SetPanelValues();
}

} // namespace

class ParameterFileTest : public PanelTest {
  protected:
    void SetUp() override {
        PanelTest::SetUp();
        DisplayPanel(panelHandle);
        tick("PANEL_RBTFILE");
        ASSERT_EQ(target, DATFILE);
    }
    QString path(const char *name) const { return dir.filePath(name); }
    void save(const QString &file) {
        QueueFileSelectAnswer(VAL_NEW_FILE_SELECTED, file.toLocal8Bit().constData());
        press("PANEL_BTNSEND");
    }
    void load(const QString &file) {
        QueueFileSelectAnswer(VAL_EXISTING_FILE_SELECTED, file.toLocal8Bit().constData());
        press("PANEL_BTNGET");
    }
    QTemporaryDir dir;
};

TEST_F(ParameterFileTest, TheDefaultSetIsSavedOneNumberALineAndAsksWithTheParameterDialog) {
    save(path("CONpara.dat"));
    EXPECT_EQ(readFile(path("CONpara.dat")),
              " 500\n2048\n 512\n  20\n   1\n 100\n   1\n   8\n   0\n   0\n 950\n   0\n 500\n"
              "   0\n   0\n   0\n");
    EXPECT_EQ(status(), "Transmit...");
    const FileSelectRequest *asked = LastFileSelectRequest();
    EXPECT_STREQ(asked->title, "KEL-VA-RO Parameter File");
    EXPECT_STREQ(asked->defaultFileSpec, "CONpara.dat");
    EXPECT_STREQ(asked->fileTypeList, "*.dat");
    EXPECT_EQ(QString(asked->defaultDirectory), workingFolder.path());
    EXPECT_EQ(asked->buttonLabel, VAL_OK_BUTTON);
}

TEST_F(ParameterFileTest, SaveThenLoadGivesBackAllSixteenValues) {
    const std::vector<int> set = {1, 65535, 3, 4, 0, 6, 7, 8, 9, 10, 11, 12, 13, 41, 42, 43};
    showOnPanel(set);
    save(path("set.dat"));
    showOnPanel(DEFAULT_SET);

    load(path("set.dat"));

    EXPECT_EQ(ProgramParameters(), set);
    EXPECT_EQ(PanelParameters(), std::vector<int>(set.begin(), set.begin() + 13));
    EXPECT_EQ(std::vector<int>(pp, pp + PNUM), set);
    EXPECT_EQ(LastFileSelectRequest()->buttonLabel, VAL_LOAD_BUTTON);
}

TEST_F(ParameterFileTest, SavingOverAFileReplacesIt) {
    WriteFile(path("old.dat"), QByteArray(5000, 'x'));
    save(path("old.dat"));
    EXPECT_EQ(readFile(path("old.dat")).size(), 16 * 5);
}

TEST_F(ParameterFileTest, LineEndingsBlanksAndWideValuesAreReadAlike) {
    WriteFile(path("crlf.dat"), "  1\r\n70000\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n10\r\n11\r\n"
                                "12\r\n13\r\n14\r\n15\r\n16\r\n\r\n");
    load(path("crlf.dat"));
    EXPECT_EQ(reference, 4464) << "70000 keeps its low 16 bits";
    EXPECT_EQ(power, 1);
    EXPECT_EQ(para15, 16);
    EXPECT_EQ(wordValue(PANEL_REFERENCE), 4464);
}

TEST_F(ParameterFileTest, AFileThatCannotBeReadWholeChangesNothing) {
    const QByteArray fifteen = "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n12\n13\n14\n15\n";
    const std::vector<std::pair<const char *, QByteArray>> badFiles = {
        {"short.dat", fifteen},
        {"text.dat", fifteen + "sixteen\n"},
        {"negative.dat", fifteen + "-16\n"},
        {"huge.dat", fifteen + "5000000000\n"},
        {"long.dat", fifteen + "16\n17\n"},
        {"columns.dat", "1 2\n" + fifteen},
    };
    for (const auto &[name, content] : badFiles)
        WriteFile(path(name), content);
    SetCtrlVal(panelHandle, PANEL_POWER, 777);

    for (const auto &[name, content] : badFiles) {
        load(path(name));
        EXPECT_EQ(ProgramParameters(), DEFAULT_SET) << name;
        EXPECT_EQ(wordValue(PANEL_POWER), 777) << name << ": the operator's edit stays";
        EXPECT_EQ(status(), "Error reading parameter-file!") << name;
    }
    load(path("missing.dat"));
    EXPECT_EQ(ProgramParameters(), DEFAULT_SET);
    EXPECT_EQ(status(), "Error reading parameter-file!");
}

TEST_F(ParameterFileTest, ACancelledDialogWritesAndLoadsNothing) {
    QueueFileSelectAnswer(VAL_NO_FILE_SELECTED, "");
    press("PANEL_BTNSEND");
    EXPECT_EQ(status(), "Transmit...");
    EXPECT_TRUE(QDir(dir.path()).isEmpty());

    SetCtrlVal(panelHandle, PANEL_POWER, 777);
    QueueFileSelectAnswer(VAL_NO_FILE_SELECTED, "");
    press("PANEL_BTNGET");
    EXPECT_EQ(ProgramParameters(), DEFAULT_SET);
    EXPECT_EQ(wordValue(PANEL_POWER), 500) << "get rewrites the panel from the variables";
}

TEST_F(ParameterFileTest, AFailedSaveSaysSo) {
    save(path("no-such-directory/set.dat"));
    EXPECT_EQ(status(), "Error writing parameter-file!");
}

namespace {

// A folder whose disk is full: a 64 kB tmpfs where mounting is allowed, else a process limit on
// the size of any file written.
class FullDisk {
  public:
    explicit FullDisk(const QString &folder) : folder_(folder) {
        QDir().mkpath(folder);
        mounted_ =
            ::mount("kelvaro-test", folder.toLocal8Bit().constData(), "tmpfs", 0, "size=64k") == 0;
        if (!mounted_) {
            ::getrlimit(RLIMIT_FSIZE, &previous_);
            ::signal(SIGXFSZ, SIG_IGN);
        }
    }
    // Files written from now on find the disk full.
    void fill() {
        if (mounted_) {
            QFile filler(folder_ + "/filler");
            filler.open(QIODevice::WriteOnly);
            while (filler.write(QByteArray(4096, 'x')) > 0 && filler.flush()) {
            }
        } else {
            rlimit tiny = previous_;
            tiny.rlim_cur = 16;
            ::setrlimit(RLIMIT_FSIZE, &tiny);
        }
    }
    ~FullDisk() {
        if (mounted_)
            ::umount(folder_.toLocal8Bit().constData());
        else
            ::setrlimit(RLIMIT_FSIZE, &previous_);
    }

  private:
    QString folder_;
    bool mounted_ = false;
    rlimit previous_{};
};

} // namespace

TEST_F(ParameterFileTest, ASaveOnAFullDiskLeavesTheOldFileWholeAndSaysSo) {
    FullDisk disk(path("disk"));
    const QString file = path("disk/CONpara.dat");
    save(file);
    const QByteArray good = readFile(file);
    ASSERT_EQ(good.count('\n'), 16);
    disk.fill();

    SetCtrlVal(panelHandle, PANEL_POWER, 999);
    QueueFileSelectAnswer(VAL_EXISTING_FILE_SELECTED, file.toLocal8Bit().constData());
    QueueConfirmAnswer(1);
    press("PANEL_BTNSEND");

    EXPECT_EQ(status(), "Error writing parameter-file!");
    EXPECT_EQ(readFile(file), good);
    EXPECT_TRUE(QDir(path("disk")).entryList({"CONpara.dat.*"}, QDir::Files).isEmpty())
        << "no temporary file left behind";
}

TEST_F(ParameterFileTest, AnEndlessLineIsGivenUpAfterWhatASetCouldHold) {
    const QString fifo = path("endless.dat");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    std::atomic<long long> written{0};
    std::thread writer([&] {
        const int fd = ::open(fifo.toLocal8Bit().constData(), O_WRONLY);
        const std::string digits(65536, '7');
        ::signal(SIGPIPE, SIG_IGN);
        while (written < 100'000'000) {
            const ssize_t n = ::write(fd, digits.data(), digits.size());
            if (n <= 0)
                break;
            written += n;
        }
        ::close(fd);
    });
    load(fifo);
    writer.join();

    EXPECT_EQ(status(), "Error reading parameter-file!");
    EXPECT_LT(written, 1'000'000) << "the reader stopped long before 100 MB";
    EXPECT_EQ(ProgramParameters(), DEFAULT_SET);
}

TEST_F(ParameterFileTest, ReplacingAParameterFileNeedsTheOperatorsYes) {
    const QString file = path("line7.dat");
    save(file);
    const QByteArray before = readFile(file);
    SetCtrlVal(panelHandle, PANEL_POWER, 4321);

    QueueFileSelectAnswer(VAL_EXISTING_FILE_SELECTED, file.toLocal8Bit().constData());
    QueueConfirmAnswer(0);
    press("PANEL_BTNSEND");
    EXPECT_EQ(readFile(file), before) << "no: the file stays";
    EXPECT_EQ(status(), "Transmit...");

    QueueFileSelectAnswer(VAL_EXISTING_FILE_SELECTED, file.toLocal8Bit().constData());
    QueueConfirmAnswer(1);
    press("PANEL_BTNSEND");
    EXPECT_TRUE(readFile(file).startsWith("4321\n"));
}

class ParameterCommandTest : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        startProgram();
    }
    kvsim::Request lastRequest() const { return sim.requests().back(); }
    void silence() {
        kvsim::Faults silent;
        silent.silent = true;
        sim.setFaults(silent);
    }
};

TEST_F(ParameterCommandTest, TeachSendsThePanelsSetAndReadsTheNewReferenceBack) {
    showOnPanel(DEFAULT_SET);
    press("PANEL_BUTTONTEACH");

    ASSERT_EQ(ordersReceived(), (std::vector<int>{6, 2}));
    const kvsim::Frame sent = kvsim::makeFrame(6, sim.requests().front().words);
    EXPECT_EQ(std::vector<int>(sent.begin(), sent.end()), TEACH_FRAME_OF_DEFAULTS);
    EXPECT_EQ(reference, sim.ram()[1]);
    EXPECT_EQ(wordValue(PANEL_REFERENCE), sim.ram()[1]);
    EXPECT_NE(reference, 2048);
    EXPECT_EQ(statusHistory.mid(0, 3), (QStringList{"Teach new Reference-Value ...", "Line Ok!",
                                                    "New setpoint value teached!"}));
    EXPECT_EQ(status(), "Parameter-frame received! - Line Ok!");
}

TEST_F(ParameterCommandTest, ResetRestoresTheFactorySet) {
    kvsim::Words changed = sim.ram();
    changed[0] = 1;
    changed[14] = 99;
    sim.setRam(changed);

    press("PANEL_BUTTONRESET");

    EXPECT_EQ(ordersReceived(), (std::vector<int>{10, 2}));
    EXPECT_EQ(WordsOf(sim.ram()), WordsOf(kvsim::Simulator::factorySet()));
    EXPECT_EQ(ProgramParameters(), WordsOf(kvsim::Simulator::factorySet()));
    EXPECT_EQ(statusHistory.front(), "Line Ok!");
}

TEST_F(ParameterCommandTest, GetFromEepromTakesTheControllersEepromSet) {
    kvsim::Words stored = sim.eeprom();
    stored[1] = 321;
    stored[13] = 7;
    sim.setEeprom(stored);
    tick("PANEL_RBTEEPROM");

    press("PANEL_BTNGET");

    EXPECT_EQ(ordersReceived(), std::vector<int>{4});
    EXPECT_EQ(ProgramParameters(), WordsOf(stored));
    EXPECT_EQ(wordValue(PANEL_REFERENCE), 321);
    EXPECT_EQ(statusHistory, (QStringList{"Receive...", "Transmit Ok!", "Data Transfer Ok!"}));
}

TEST_F(ParameterCommandTest, SendWritesThePanelsSetIntoRamAndEepromWithoutWaiting) {
    SetCtrlVal(panelHandle, PANEL_HOLD, 4242);
    para14 = 14141;
    rx_flag = 0;
    press("PANEL_BTNSEND");
    EXPECT_EQ(rx_flag, 0);
    EXPECT_EQ(status(), "Transmit Ok!");
    ASSERT_TRUE(waitFor([&] { return sim.ram()[5] == 4242; }, 1.0));
    EXPECT_EQ(sim.ram()[14], 14141);
    EXPECT_EQ(lastRequest().order, 1);

    tick("PANEL_RBTEEPROM");
    SetCtrlVal(panelHandle, PANEL_HOLD, 4343);
    press("PANEL_BTNSEND");
    ASSERT_TRUE(waitFor([&] { return sim.eeprom()[5] == 4343; }, 1.0));
    EXPECT_EQ(lastRequest().order, 3);
    EXPECT_EQ(order, 3);
    EXPECT_EQ(rx_flag, 0);
}

TEST_F(ParameterCommandTest, ACommitOnTheSendButtonDoesNothing) {
    auto *send = control<QPushButton>("PANEL_BTNSEND");
    send->setFocus();
    QTest::keyClick(send, Qt::Key_Space);
    EXPECT_TRUE(waitFor([&] { return !sim.requests().empty(); }, 0.3) == false);
    EXPECT_TRUE(statusHistory.isEmpty());
}

TEST_F(ParameterCommandTest, TeachWithASilentControllerTimesOutAfterOneAndAHalfSeconds) {
    silence();
    SetCtrlVal(panelHandle, PANEL_REFERENCE, 600);
    const double start = Timer();
    press("PANEL_BUTTONTEACH");
    const double elapsed = Timer() - start;

    EXPECT_EQ(statusHistory, (QStringList{"Teach new Reference-Value ...", "Line Ok!",
                                          "New setpoint value teached!", "Timeout RS-232!!"}));
    EXPECT_GT(elapsed, 1.5);
    EXPECT_LT(elapsed, 3.0);
    EXPECT_EQ(ordersReceived(), std::vector<int>{6}) << "no read-back after a time-out";
    EXPECT_EQ(reference, 600) << "the variables keep the panel's values";
}

TEST_F(ParameterCommandTest, ATeachWhoseReadBackTakesOverOneAndAHalfSecondsSaysTimeOut) {
    kvsim::Faults slowReadBack;
    slowReadBack.lateOrder = ORDER_READ_RAM;
    slowReadBack.lateSeconds = 1.7;
    sim.setFaults(slowReadBack);
    press("PANEL_BUTTONTEACH");

    EXPECT_EQ(ordersReceived(), (std::vector<int>{6, 2}));
    EXPECT_EQ(ProgramParameters(), WordsOf(sim.ram())) << "the read-back itself arrived";
    ASSERT_GE(statusHistory.size(), 2);
    EXPECT_EQ(statusHistory.mid(statusHistory.size() - 2),
              (QStringList{"Parameter-frame received! - Line Ok!", "Timeout RS-232!!"}))
        << "the time-out reads what the read-back's own wait left";
}

TEST_F(ParameterCommandTest, GetWithASilentControllerTimesOutAndRewritesThePanel) {
    silence();
    SetCtrlVal(panelHandle, PANEL_POWER, 777);
    const std::vector<int> before = ProgramParameters();
    const double start = Timer();
    press("PANEL_BTNGET");
    const double elapsed = Timer() - start;

    EXPECT_EQ(status(), "Timeout RS232-Line!");
    EXPECT_GT(elapsed, 2.0);
    EXPECT_LT(elapsed, 3.5) << "one time-out, not more";
    EXPECT_EQ(ProgramParameters(), before);
    EXPECT_EQ(wordValue(PANEL_POWER), before[0]);
}
