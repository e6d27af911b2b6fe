// Parameter commands against the simulated controller's RAM and EEPROM, and parameter files:
// teach, reset, get and send, their status texts and time-outs, and bad files.
#include "program_fixture.h"

#include "filedialog.h"
#include "utility.h"

#include <QPushButton>
#include <QTest>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace kelvaro;

namespace {

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
    QString path(const char *name) const { return workingFolder.filePath(name); }
    // Send or Get with the file dialog answered so.
    void save(const QString &file, int answer = VAL_NEW_FILE_SELECTED) {
        QueueFileSelectAnswer(answer, file.toLocal8Bit().constData());
        press("PANEL_BTNSEND");
    }
    void load(const QString &file, int answer = VAL_EXISTING_FILE_SELECTED) {
        QueueFileSelectAnswer(answer, file.toLocal8Bit().constData());
        press("PANEL_BTNGET");
    }
};

TEST_F(ParameterFileTest, TheSetIsSavedOneNumberALineInTheWorkingFolderAndLoadedBackWhole) {
    save(path("CONpara.dat"));
    EXPECT_EQ(ReadFile(path("CONpara.dat")),
              " 500\n2048\n 512\n  20\n   1\n 100\n   1\n   8\n   0\n   0\n 950\n   0\n 500\n"
              "   0\n   0\n   0\n");
    EXPECT_EQ(status(), "Transmit...");
    EXPECT_EQ(QString(LastFileSelectRequest()->defaultDirectory), workingFolder.path());

    const std::vector<int> set = {1, 65535, 3, 4, 0, 6, 7, 8, 9, 10, 11, 12, 13, 41, 42, 43};
    showOnPanel(set);
    save(path("set.dat"));
    showOnPanel(DEFAULT_SET);
    load(path("set.dat"));
    EXPECT_EQ(ProgramParameters(), set);
    EXPECT_EQ(PanelParameters(), std::vector<int>(set.begin(), set.begin() + 13));
    EXPECT_EQ(std::vector<int>(pp, pp + PNUM), set);
}

TEST_F(ParameterFileTest, LineEndingsAndBlanksAreReadAlikeUpToTheLargestWord) {
    WriteFile(path("crlf.dat"), "  1\r\n65535\r\n3\r\n4\r\n5\r\n6\r\n7\r\n8\r\n9\r\n10\r\n11\r\n"
                                "12\r\n13\r\n14\r\n15\r\n16\r\n\r\n");
    load(path("crlf.dat"));
    EXPECT_EQ(reference, 65535);
    EXPECT_EQ(power, 1);
    EXPECT_EQ(para15, 16);
    EXPECT_EQ(wordValue(PANEL_REFERENCE), 65535);
}

// A refused file changes nothing, and the status line says which file, which line and what is
// wrong. A number that does not fit a word is refused, not cut to its low 16 bits.
TEST_F(ParameterFileTest, ARefusedFileChangesNothingAndSaysWhereAndWhy) {
    const QByteArray fifteen = "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n12\n13\n14\n15\n";
    const QString notAWord = "\" is not a whole number from 0 to 65535";
    SetCtrlVal(panelHandle, PANEL_POWER, 777);
    const std::vector<std::pair<QByteArray, QString>> refused = {
        {fifteen, "bad.dat holds 15 lines of numbers, not 16"},
        {fifteen + "sixteen\n", "bad.dat line 16: \"sixteen" + notAWord},
        {fifteen + "-16\n", "bad.dat line 16: \"-16" + notAWord},
        {fifteen + "65536\n", "bad.dat line 16: \"65536" + notAWord},
        {fifteen + "5000000000\n", "bad.dat line 16: \"5000000000" + notAWord},
        {fifteen + "16\n17\n", "bad.dat line 17: more than the 16 lines of numbers wanted"},
        {"1 2\n" + fifteen, "bad.dat line 1: 2 numbers where a line holds 1"},
        {"\n  \n", "bad.dat is empty"},
    };
    for (const auto &[content, why] : refused) {
        WriteFile(path("bad.dat"), content);
        load(path("bad.dat"));
        EXPECT_EQ(ProgramParameters(), DEFAULT_SET) << content.constData();
        EXPECT_EQ(wordValue(PANEL_POWER), 777) << content.constData() << ": the operator's edit";
        EXPECT_EQ(QString::fromStdString(status()), "Error reading parameter-file!: " + why);
    }
    load(path("missing.dat"));
    EXPECT_EQ(ProgramParameters(), DEFAULT_SET);
    EXPECT_EQ(status(), "Error reading parameter-file!: missing.dat: No such file or directory");
    ASSERT_TRUE(QDir(workingFolder.path()).mkdir("folder.dat"));
    load(path("folder.dat"));
    EXPECT_EQ(status(), "Error reading parameter-file!: folder.dat is a folder, not a file");
}

TEST_F(ParameterFileTest, ACancelledDialogWritesAndLoadsNothing) {
    save("", VAL_NO_FILE_SELECTED);
    EXPECT_EQ(status(), "Transmit...");
    EXPECT_TRUE(QDir(workingFolder.path()).isEmpty());

    SetCtrlVal(panelHandle, PANEL_POWER, 777);
    load("", VAL_NO_FILE_SELECTED);
    EXPECT_EQ(ProgramParameters(), DEFAULT_SET);
    EXPECT_EQ(wordValue(PANEL_POWER), 500) << "get rewrites the panel from the variables";
}

TEST_F(ParameterFileTest, ReplacingAParameterFileNeedsTheOperatorsYesAndReplacesItWhole) {
    const QString file = path("line7.dat");
    WriteFile(file, QByteArray(5000, 'x'));
    SetCtrlVal(panelHandle, PANEL_POWER, 4321);
    QueueConfirmAnswer(0);
    save(file, VAL_EXISTING_FILE_SELECTED);
    EXPECT_EQ(ReadFile(file), QByteArray(5000, 'x')) << "no: the file stays";
    EXPECT_EQ(status(), "Transmit...");

    QueueConfirmAnswer(1);
    save(file, VAL_EXISTING_FILE_SELECTED);
    EXPECT_TRUE(ReadFile(file).startsWith("4321\n"));
    EXPECT_EQ(ReadFile(file).size(), 16 * 5);
}

// A save that fails says so: in a missing folder, and on a full disk (a limit on the size of any
// file written), where the old file stays whole and no temporary file is left behind.
TEST_F(ParameterFileTest, AFailedSaveSaysSoAndOnAFullDiskLeavesTheOldFileWhole) {
    save(path("no-such-directory/set.dat"));
    EXPECT_EQ(status(), "Error writing parameter-file!: set.dat: No such file or directory");

    const QString file = path("CONpara.dat");
    save(file);
    const QByteArray good = ReadFile(file);
    ASSERT_EQ(good.count('\n'), 16);
    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = previous;
    tiny.rlim_cur = 16;
    ::setrlimit(RLIMIT_FSIZE, &tiny);
    SetCtrlVal(panelHandle, PANEL_POWER, 999);
    QueueConfirmAnswer(1);
    save(file, VAL_EXISTING_FILE_SELECTED);
    ::setrlimit(RLIMIT_FSIZE, &previous);

    EXPECT_EQ(status(), "Error writing parameter-file!: CONpara.dat: File too large");
    EXPECT_EQ(ReadFile(file), good);
    EXPECT_EQ(QDir(workingFolder.path()).entryList({"CONpara.dat.*"}, QDir::Files), QStringList())
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

    EXPECT_EQ(status(),
              "Error reading parameter-file!: endless.dat is too large for 16 lines of numbers");
    EXPECT_LT(written, 1'000'000) << "the reader stopped long before 100 MB";
    EXPECT_EQ(ProgramParameters(), DEFAULT_SET);
}

class ParameterCommandTest : public StartedTest {};

TEST_F(ParameterCommandTest, TeachSendsThePanelsSetAndReadsTheNewReferenceBack) {
    showOnPanel(DEFAULT_SET);
    press("PANEL_BUTTONTEACH");

    ASSERT_EQ(ordersReceived(), (std::vector<int>{6, 2}));
    const kvsim::Frame sent = kvsim::makeFrame(6, sim.requests().front().words);
    EXPECT_EQ(std::vector<int>(sent.begin(), sent.end()), TEACH_FRAME_OF_DEFAULTS);
    EXPECT_NE(reference, 2048);
    EXPECT_EQ(reference, sim.ram()[1]);
    EXPECT_EQ(wordValue(PANEL_REFERENCE), sim.ram()[1]);
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

// The mouse's press sends at once; the keyboard presses as the mouse does, and sends once.
TEST_F(ParameterCommandTest, SendWritesThePanelsSetIntoRamAndEepromFromTheMouseOrTheKeyboard) {
    SetCtrlVal(panelHandle, PANEL_HOLD, 4242);
    para14 = 14141;
    rx_flag = 0;
    press("PANEL_BTNSEND");
    EXPECT_EQ(rx_flag, 0);
    EXPECT_EQ(status(), "Transmit Ok!");
    ASSERT_TRUE(waitFor([&] { return sim.ram()[5] == 4242; }, 1.0));
    EXPECT_EQ(sim.ram()[14], 14141);
    EXPECT_EQ(sim.requests().back().order, 1);

    tick("PANEL_RBTEEPROM");
    SetCtrlVal(panelHandle, PANEL_HOLD, 4343);
    sim.clearRequests();
    auto *send = control<QPushButton>("PANEL_BTNSEND");
    send->setFocus();
    QTest::keyClick(send, Qt::Key_Space);
    ASSERT_TRUE(waitFor([&] { return sim.eeprom()[5] == 4343; }, 1.0));
    EXPECT_EQ(ordersReceived(), std::vector<int>{3});
    EXPECT_EQ(rx_flag, 0);
}

TEST_F(ParameterCommandTest, ATeachTimesOutAfterOneAndAHalfSecondsOfSilenceOrOfReadBack) {
    sim.setFaults(Fault(&kvsim::Faults::silent, true));
    SetCtrlVal(panelHandle, PANEL_REFERENCE, 600);
    const double start = Timer();
    press("PANEL_BUTTONTEACH");
    const double elapsed = Timer() - start;

    ASSERT_EQ(statusHistory.size(), 4);
    EXPECT_EQ(statusHistory.mid(0, 3), (QStringList{"Teach new Reference-Value ...", "Line Ok!",
                                                    "New setpoint value teached!"}));
    EXPECT_TRUE(saysNoAnswer(statusHistory[3].toStdString(), "Timeout RS-232!!"));
    EXPECT_GT(elapsed, 1.5);
    EXPECT_LT(elapsed, 3.0);
    EXPECT_EQ(ordersReceived(), std::vector<int>{6}) << "no read-back after a time-out";
    EXPECT_EQ(reference, 600) << "the variables keep the panel's values";

    sim.clearRequests();
    kvsim::Faults slowReadBack = Fault(&kvsim::Faults::lateOrder, int(ORDER_READ_RAM));
    slowReadBack.lateSeconds = 1.7;
    sim.setFaults(slowReadBack);
    press("PANEL_BUTTONTEACH");

    EXPECT_EQ(ordersReceived(), (std::vector<int>{6, 2}));
    EXPECT_EQ(ProgramParameters(), WordsOf(sim.ram())) << "the read-back itself arrived";
    ASSERT_GE(statusHistory.size(), 2);
    EXPECT_EQ(statusHistory[statusHistory.size() - 2], "Parameter-frame received! - Line Ok!");
    EXPECT_TRUE(
        statusHistory.last().startsWith("Timeout RS-232!!: the set was read back, but after 1.7"))
        << "the time-out's text, with the truth for its cause: "
        << statusHistory.last().toStdString();
}

TEST_F(ParameterCommandTest, GetWithASilentControllerTimesOutAndRewritesThePanel) {
    sim.setFaults(Fault(&kvsim::Faults::silent, true));
    SetCtrlVal(panelHandle, PANEL_POWER, 777);
    const std::vector<int> before = ProgramParameters();
    const double start = Timer();
    press("PANEL_BTNGET");
    const double elapsed = Timer() - start;

    EXPECT_TRUE(saysNoAnswer(status(), "Timeout RS232-Line!")) << status();
    EXPECT_GT(elapsed, 2.0);
    EXPECT_LT(elapsed, 3.5) << "one time-out, not more";
    EXPECT_EQ(ProgramParameters(), before);
    EXPECT_EQ(wordValue(PANEL_POWER), before[0]);
}
