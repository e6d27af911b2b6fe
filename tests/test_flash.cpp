// The correction table built from "CONconfig.dat" and its programming into flash pages 4 to 7,
// against the simulator's flash, with refused, unknown and missing echoes.
#include "program_fixture.h"

#include "filedialog.h"
#include "utility.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>

using namespace kelvaro;

namespace {

const int KEYS = 1024;

// Rows pair value[i] with key[i]: the file holds the keys bottom up.
QByteArray correctionFile(const std::vector<int> &value, const std::vector<int> &key) {
    QByteArray text;
    for (int row = 0; row < KEYS; ++row)
        text += QByteArray::number(value[size_t(row)]) + " " +
                QByteArray::number(key[size_t(KEYS - 1 - row)]) + "\n";
    return text;
}

std::vector<int> identity() {
    std::vector<int> v(KEYS);
    for (int i = 0; i < KEYS; ++i)
        v[size_t(i)] = i;
    return v;
}

std::vector<int> table() {
    std::vector<int> entries;
    for (const int *page : {flashp4, flashp5, flashp6, flashp7})
        entries.insert(entries.end(), page, page + 256);
    return entries;
}

// Notes the value a display shows each time it paints.
struct PaintWatch : QObject {
    QStringList shown;
    bool eventFilter(QObject *display, QEvent *event) override {
        if (event->type() == QEvent::Paint)
            shown << display->property("value").toString();
        return false;
    }
};

} // namespace

class CorrectionTableTest : public PanelTest {
  protected:
    void SetUp() override {
        PanelTest::SetUp();
        std::fill(flashp4, flashp4 + 256, -7);
    }
    // Builds the table from a file of value and key columns, or of this content.
    int build(const std::vector<int> &value, const std::vector<int> &key) {
        return build(correctionFile(value, key));
    }
    int build(const QByteArray &content) {
        WriteFile("CONconfig.dat", content);
        return ReadCorrData("CONconfig.dat");
    }
};

TEST_F(CorrectionTableTest, TheIdentityFileGivesTheIdentityTableAndFallingKeysAFlatOne) {
    ASSERT_EQ(build(identity(), identity()), 0);
    EXPECT_EQ(table(), identity());
    const QList<QByteArray> lines = ReadFile("LTlinear.dat").split('\n');
    ASSERT_EQ(lines.size(), KEYS + 1);
    EXPECT_EQ(lines[0], "     0     0     0");
    EXPECT_EQ(lines[1023], "  1023  1023  1023");

    std::vector<int> reversed = identity();
    std::reverse(reversed.begin(), reversed.end());
    ASSERT_EQ(build(identity(), reversed), 0);
    EXPECT_EQ(table(), std::vector<int>(KEYS, 1023)) << "keys read top down";
}

TEST_F(CorrectionTableTest, GapsTakeTheEntryBeforeThemTheLaterRowWinsAndTheStartStaysZero) {
    std::vector<int> value(KEYS), key = identity();
    for (int i = 0; i < KEYS; ++i)
        value[size_t(i)] = 2000 + 3 * i;
    key[5] = 7; // key 5 is named by no row; key 7 twice, row 7 after row 5
    ASSERT_EQ(build(value, key), 0);
    std::vector<int> t = table();
    EXPECT_EQ(t[5], t[4]);
    EXPECT_EQ(t[7], value[7]);
    EXPECT_EQ(t[8], value[8]);

    for (int i = 0; i < KEYS; ++i)
        key[size_t(i)] = std::max(100, i); // keys named only from 100 up
    ASSERT_EQ(build(value, key), 0);
    t = table();
    EXPECT_EQ(std::vector<int>(t.begin(), t.begin() + 100), std::vector<int>(100, 0));
    EXPECT_EQ(t[100], value[100]);
    EXPECT_EQ(t[1023], value[1023]);
}

TEST_F(CorrectionTableTest, DipsAndALowLastEntryAreFilledSoTheTableNeverFalls) {
    std::vector<int> value(KEYS, 60000);
    value[0] = 10, value[1] = 5, value[2] = 20, value[3] = 30;
    ASSERT_EQ(build(value, identity()), 0);
    EXPECT_EQ(std::vector<int>(flashp4, flashp4 + 4), (std::vector<int>{10, 15, 20, 30}));

    value[0] = 10, value[1] = 5, value[2] = 8, value[3] = 30;
    value[1023] = 1;
    ASSERT_EQ(build(value, identity()), 0);
    EXPECT_EQ(std::vector<int>(flashp4, flashp4 + 4), (std::vector<int>{10, 10, 20, 30}));
    EXPECT_EQ(flashp7[255], 60000) << "the last entry is raised to the one before";
}

// A refused file touches no page and writes no table, and the status line says where and why. A
// value that does not fit a word is refused: the flash would get only its low 16 bits.
TEST_F(CorrectionTableTest, AFileThatIsNotAWholeTableOfWordsIsRefusedAndTouchesNothing) {
    QByteArray short2047 = correctionFile(identity(), identity());
    short2047.chop(short2047.size() - short2047.lastIndexOf(' ', short2047.size() - 2) - 1);
    std::vector<int> outside = identity();
    outside[3] = 1024;
    std::vector<int> large = identity();
    large[10] = 70000;
    const QString notAWord = "\" is not a whole number from 0 to 65535";
    for (const auto &[content, why] : std::vector<std::pair<QByteArray, QString>>{
             {short2047, "CONconfig.dat line 1024: 1 number where a line holds 2"},
             {QByteArray(), "CONconfig.dat is empty"},
             {correctionFile(identity(), outside), "CONconfig.dat line 1021: key 1024 is outside "
                                                   "0..1023"},
             {correctionFile(large, identity()), "CONconfig.dat line 11: \"70000" + notAWord}}) {
        EXPECT_EQ(build(content), -1);
        EXPECT_EQ(QString::fromStdString(status()), "Error reading correction-file!: " + why);
        EXPECT_EQ(flashp4[0], -7);
    }
    EXPECT_EQ(ReadCorrData("missing.dat"), -1);
    EXPECT_EQ(status(), "Error reading correction-file!: missing.dat: No such file or directory");
    EXPECT_FALSE(QFile::exists("LTlinear.dat"));
}

class FlashTest : public StartedTest {
  protected:
    void SetUp() override {
        StartedTest::SetUp();
        tick("PANEL_RBTFILE");
        statusHistory.clear();
    }
    // Sends with the correction file of the working folder chosen in the dialog.
    void program(const QByteArray &content, const QString &chosen = {}) {
        WriteFile(configPath, content);
        sendWith(chosen.isEmpty() ? configPath : chosen);
    }
    // Presses Send with path chosen in the dialog.
    void sendWith(const QString &path, int answer = VAL_EXISTING_FILE_SELECTED) {
        QueueFileSelectAnswer(answer, path.toLocal8Bit().constData());
        press("PANEL_BTNSEND");
    }
    QStringList pageTexts() const { return statusHistory.filter("FLASH page"); }
    // The texts of pages 4 to 7, each written whole (+) or not (-).
    static QStringList pages(const char *outcomes) {
        QStringList texts;
        for (int page = 0; page < 4; ++page)
            texts << QString(outcomes[page] == '+' ? "ok : F801 FLASH page%1-write 255 words!"
                                                   : "error : F801 FLASH page%1-write <255 words!")
                         .arg(page + 4);
        return texts;
    }
    QString configPath = workingFolder.filePath("CONconfig.dat");
    QTemporaryDir scratch;
};

TEST_F(FlashTest, ACompleteRunFillsPagesFourToSevenWithTheTable) {
    std::vector<int> value = identity();
    for (int i = 1000; i < KEYS; ++i)
        value[size_t(i)] = 64000 + i;
    program(correctionFile(value, identity()));

    EXPECT_EQ(pageTexts(), pages("++++"));
    EXPECT_EQ(status(), pages("++++").last().toStdString());
    const std::vector<int> t = table();
    for (int page = 4; page <= 7; ++page) {
        const kvsim::Page flash = sim.flashPage(page);
        for (int k = 0; k < 256; ++k)
            ASSERT_EQ(flash[size_t(k)], t[size_t(256 * (page - 4) + k)]) << page << k;
    }
    EXPECT_EQ(sim.flashPage(7)[1000 - 768], 65000);
    EXPECT_EQ(intValue(PANEL_VALNORM), 0);
    EXPECT_TRUE(QFile::exists("LTlinear.dat"));

    const std::vector<kvsim::Request> flash = requestsOf({20, 21});
    ASSERT_EQ(flash.size(), 128u);
    const kvsim::Frame first = kvsim::makeFrame(flash.front().order, flash.front().words);
    EXPECT_EQ(std::vector<int>(first.begin(), first.begin() + 8),
              (std::vector<int>{0x00, 0x55, 0x00, 0x14, 0x00, 0x00, 0x14, 0x00}));
    const kvsim::Frame last = kvsim::makeFrame(flash[126].order, flash[126].words);
    EXPECT_EQ(std::vector<int>(last.begin(), last.begin() + 8),
              (std::vector<int>{0x00, 0x55, 0x00, 0x14, 0x00, 0x00, 0x17, 0xF0}));
    EXPECT_EQ(flash[127].order, 21);
}

TEST_F(FlashTest, ARefusedBlockEndsItsPageAndTheNextPageFollows) {
    sim.setFaults(Fault(&kvsim::Faults::refuseEraseAt, 0x1530)); // page 5, block 3
    program(correctionFile(identity(), identity()));

    EXPECT_EQ(pageTexts(), pages("+-++"));
    EXPECT_EQ(status(), "error : F801 FLASH 1 of 4 pages not written!: page 5: error : F801 FLASH "
                        "erase-adress not valid!")
        << "not page 7's ok";
    EXPECT_TRUE(statusHistory.contains("error : F801 FLASH erase-adress not valid!"));
    for (const kvsim::Request &request : requestsOf({20, 21}))
        ASSERT_FALSE(request.order == 20 && request.words[1] > 0x1530 && request.words[1] < 0x1600)
            << "no block of page 5 after the refused one";
    EXPECT_EQ(requestsOf({20, 21}).size(), 128u - 2 * 12);
}

TEST_F(FlashTest, AnUnknownInformationEchoSendsNoDataBlockForThatAddress) {
    sim.setFaults(Fault(&kvsim::Faults::wrongInfoEchoAt, 0x1620));
    program(correctionFile(identity(), identity()));

    const std::vector<kvsim::Request> flash = requestsOf({20, 21});
    for (size_t i = 0; i + 1 < flash.size(); ++i) {
        if (flash[i].order == 20 && flash[i].words[1] == 0x1620) {
            EXPECT_EQ(flash[i + 1].words[1], 0x1700) << "the next order is page 7's first block";
        }
    }
    EXPECT_EQ(pageTexts(), pages("++-+"));
}

TEST_F(FlashTest, WithNoAnswerEveryPageFailsAtItsFirstBlockAndTheProgressShows) {
    sim.setFaults(Fault(&kvsim::Faults::silent, true));
    // The flash run processes no events, but its pauses repaint.
    PaintWatch progress;
    control("PANEL_VALNORM")->installEventFilter(&progress);
    program(correctionFile(identity(), identity()));

    EXPECT_EQ(pageTexts(), pages("----"));
    EXPECT_TRUE(progress.shown.contains("16"));
    EXPECT_EQ(requestsOf({20, 21}).size(), 4u);
    EXPECT_EQ(sim.flashPage(4)[0], 0xFFFF);
}

// An echo with a stray byte before it is no echo: the block's page ends there, nothing is taken
// for written.
TEST_F(FlashTest, AnEchoWithAStrayByteEndsItsPage) {
    kvsim::Faults stray;
    stray.strayBytes = 1;
    stray.faultyOrder = ORDER_FLASH_DATA;
    sim.setFaults(stray);
    program(correctionFile(identity(), identity()));

    EXPECT_EQ(pageTexts(), pages("----"));
    EXPECT_EQ(status().rfind("error : F801 FLASH 4 of 4 pages not written!: page 4: read error: 1 "
                             "stray byte with the 36-byte answer",
                             0),
              0u)
        << status();
    EXPECT_EQ(requestsOf({20, 21}).size(), 8u) << "each page ends at its first block";
}

TEST_F(FlashTest, ADataBlockThatTimesOutOrEchoesUnknownEndsItsPageEvenInTheLastBlock) {
    kvsim::Faults faults = Fault(&kvsim::Faults::unknownDataEchoAt, 0x1420); // page 4, block 2
    // Page 4 ends after 6 orders; pages 5 and 6 take 32 each; the last data block of page 7 is
    // then the 102nd order.
    faults.silentFromRequest = long(sim.requestCount()) + 6 + 32 + 32 + 31;
    sim.setFaults(faults);
    program(correctionFile(identity(), identity()));

    EXPECT_EQ(pageTexts(), pages("-++-"));
    EXPECT_TRUE(statusHistory.contains("error : F801 unknown-echo at order=21!"));
    EXPECT_TRUE(saidNoAnswer("Timeout < 36 Bytes"));
    EXPECT_EQ(requestsOf({20, 21}).size(), 6u + 32 + 32 + 32);
    EXPECT_EQ(sim.flashPage(7)[239], 1007) << "block 14 of page 7 went in";
}

TEST_F(FlashTest, ABadFileSendsNothingTheNameMatchesInAnyCaseAndElsewhereItIsAParameterFile) {
    program("1 2\n3 4\n");
    EXPECT_EQ(status(), "Error reading correction-file!: CONconfig.dat holds 2 lines of numbers, "
                        "not 1024");
    EXPECT_TRUE(requestsOf({20, 21}).empty());

    program(correctionFile(identity(), identity()), workingFolder.filePath("conCONFIG.DAT"));
    EXPECT_EQ(requestsOf({20, 21}).size(), 128u);

    sim.clearRequests();
    const QString elsewhere = scratch.filePath("CONconfig.dat");
    sendWith(elsewhere, VAL_NEW_FILE_SELECTED);
    EXPECT_TRUE(requestsOf({20, 21}).empty());
    EXPECT_EQ(ReadFile(elsewhere).count('\n'), 16) << "saved as a parameter file";
}

TEST_F(FlashTest, TheCorrectionFileIsReadNotSavedOverThroughALinkAndWithoutAQuestion) {
    // The working folder reached through a symbolic link, as an operator's desktop may set it up.
    const QString linked = scratch.filePath("linked");
    ASSERT_TRUE(QFile::link(workingFolder.path(), linked));
    setenv("KELVARO_DIR", linked.toLocal8Bit().constData(), 1);
    const QByteArray content = correctionFile(identity(), identity());
    // Qt's dialog hands back the resolved path; a "no" to any question would stop the flash.
    QueueConfirmAnswer(0);
    program(content, QDir(workingFolder.path()).canonicalPath() + "/CONconfig.dat");
    EXPECT_EQ(requestsOf({20, 21}).size(), 128u);
    EXPECT_EQ(ReadFile(configPath), content);

    const QString parameterFile = scratch.filePath("set.dat");
    WriteFile(parameterFile, "keep me\n");
    sendWith(parameterFile);
    EXPECT_EQ(ReadFile(parameterFile), "keep me\n")
        << "the question was asked here, and answered no";
}

// The answer to the run's last request is still on its way when Stop is pressed: the flash lets
// it pass first instead of taking it for its first echo, which would put every echo one behind.
TEST_F(FlashTest, AFlashRightAfterStopIsNotMisledByTheRunsLastAnswer) {
    kvsim::Faults lateLiveAnswers = Fault(&kvsim::Faults::lateOrder, int(ORDER_LIVE_VALUES));
    lateLiveAnswers.lateSeconds = 0.02;
    sim.setFaults(lateLiveAnswers);
    runUntil(3, [this] {
        press("PANEL_BTNSTOP");
        program(correctionFile(identity(), identity()));
    });
    EXPECT_EQ(pageTexts(), pages("++++"));
    EXPECT_EQ(sim.flashPage(7)[255], 1023);
}

TEST_F(FlashTest, TheFlashFollowsThePortPickedInTheRing) {
    kvsim::Simulator second(kvsim::Simulator::Options{true, {}, 2, {}});
    const std::string secondLink = link + "-COM2";
    std::string error;
    ASSERT_TRUE(second.start(secondLink, &error)) << error;
    setenv("KELVARO_COM2", secondLink.c_str(), 1);
    pickPort(2);
    unsetenv("KELVARO_COM2");
    ASSERT_EQ(com, 2);
    sim.clearRequests();
    // The port start-up targets RAM again whatever button stays ticked.
    press("PANEL_RBTRAM");
    press("PANEL_RBTFILE");

    program(correctionFile(identity(), identity()));

    EXPECT_TRUE(requestsOf({20, 21}).empty()) << "nothing for the controller on port 1";
    EXPECT_EQ(second.flashPage(7)[255], 1023);
    EXPECT_EQ(pageTexts().last(), "ok : F801 FLASH page7-write 255 words!");
    CloseLine();
    second.stop();
}
