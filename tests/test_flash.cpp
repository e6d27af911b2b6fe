// The correction table built from "CONconfig.dat" and its programming into flash pages 4 to 7,
// against the simulator's flash, with refused, unknown and missing echoes.
#include "program_fixture.h"

#include "filedialog.h"
#include "utility.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <array>

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
class PaintWatch : public QObject {
  public:
    PaintWatch(QWidget *display, QStringList *shown) : display_(display), shown_(shown) {
        display->installEventFilter(this);
    }
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Paint)
            *shown_ << display_->property("value").toString();
        return false;
    }

  private:
    QWidget *display_;
    QStringList *shown_;
};

} // namespace

class CorrectionTableTest : public PanelTest {
  protected:
    void SetUp() override {
        PanelTest::SetUp();
        previousDirectory = QDir::currentPath();
        QDir::setCurrent(dir.path());
        std::fill(flashp4, flashp4 + 256, -7);
    }
    void TearDown() override {
        QDir::setCurrent(previousDirectory);
        PanelTest::TearDown();
    }
    int build(const QByteArray &content) {
        WriteFile(dir.filePath("CONconfig.dat"), content);
        return ReadCorrData(dir.filePath("CONconfig.dat").toLocal8Bit().constData());
    }
    int build(const std::vector<int> &value, const std::vector<int> &key) {
        return build(correctionFile(value, key));
    }
    QTemporaryDir dir;
    QString previousDirectory;
};

TEST_F(CorrectionTableTest, TheIdentityFileGivesTheIdentityTableAndItsInspectionFile) {
    ASSERT_EQ(build(identity(), identity()), 0);
    EXPECT_EQ(table(), identity());
    QFile written(dir.filePath("LTlinear.dat"));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = written.readAll().split('\n');
    ASSERT_EQ(lines.size(), KEYS + 1);
    EXPECT_EQ(lines[0], "     0     0     0");
    EXPECT_EQ(lines[1023], "  1023  1023  1023");
}

TEST_F(CorrectionTableTest, KeysReadTopDownGiveAFallingTableThatBecomesFlat) {
    std::vector<int> reversed(KEYS);
    for (int i = 0; i < KEYS; ++i)
        reversed[size_t(i)] = KEYS - 1 - i;
    ASSERT_EQ(build(identity(), reversed), 0);
    EXPECT_EQ(table(), std::vector<int>(KEYS, 1023));
}

TEST_F(CorrectionTableTest, GapsTakeTheEntryBeforeThemAndTheLaterRowWins) {
    std::vector<int> value(KEYS), key = identity();
    for (int i = 0; i < KEYS; ++i)
        value[size_t(i)] = 2000 + 3 * i;
    key[5] = 7; // key 5 is named by no row; key 7 twice, row 7 after row 5
    ASSERT_EQ(build(value, key), 0);
    const std::vector<int> t = table();
    EXPECT_EQ(t[5], t[4]);
    EXPECT_EQ(t[7], value[7]);
    EXPECT_EQ(t[8], value[8]);
}

TEST_F(CorrectionTableTest, KeysNamedOnlyFromOneHundredUpLeaveTheStartAtZero) {
    std::vector<int> value(KEYS), key(KEYS);
    for (int i = 0; i < KEYS; ++i) {
        value[size_t(i)] = 5000 + i;
        key[size_t(i)] = std::max(100, i);
    }
    ASSERT_EQ(build(value, key), 0);
    const std::vector<int> t = table();
    EXPECT_EQ(std::vector<int>(t.begin(), t.begin() + 100), std::vector<int>(100, 0));
    EXPECT_EQ(t[100], 5100);
    EXPECT_EQ(t[1023], 6023);
}

TEST_F(CorrectionTableTest, DipsAndALowLastEntryAreFilledSoTheTableNeverFalls) {
    std::vector<int> value(KEYS, 100000);
    value[0] = 10, value[1] = 5, value[2] = 20, value[3] = 30;
    ASSERT_EQ(build(value, identity()), 0);
    EXPECT_EQ(std::vector<int>(flashp4, flashp4 + 4), (std::vector<int>{10, 15, 20, 30}));

    value[0] = 10, value[1] = 5, value[2] = 8, value[3] = 30;
    value[1023] = 1;
    ASSERT_EQ(build(value, identity()), 0);
    EXPECT_EQ(std::vector<int>(flashp4, flashp4 + 4), (std::vector<int>{10, 10, 20, 30}));
    EXPECT_EQ(flashp7[255], 100000) << "the last entry is raised to the one before";
}

TEST_F(CorrectionTableTest, AFileThatIsNotAWholeTableIsRejectedAndTouchesNoPage) {
    QByteArray short2047 = correctionFile(identity(), identity());
    short2047.chop(short2047.size() - short2047.lastIndexOf(' ', short2047.size() - 2) - 1);
    QByteArray text = correctionFile(identity(), identity());
    text.replace("512 511", "512 five");
    std::vector<int> outside = identity();
    outside[3] = 1024;
    std::vector<int> negative = identity();
    negative[900] = -1;
    const std::vector<std::pair<QByteArray, const char *>> cases = {
        {short2047, "Error reading correction-file!"},
        {QByteArray(), "Error reading correction-file!"},
        {text, "Error reading correction-file!"},
        {correctionFile(identity(), outside), "Error: key out of 0..1023 in correction-file!"},
        {correctionFile(identity(), negative), "Error: key out of 0..1023 in correction-file!"}};
    for (const auto &[content, message] : cases) {
        EXPECT_EQ(build(content), -1);
        EXPECT_EQ(status(), message);
        EXPECT_EQ(flashp4[0], -7);
    }
    EXPECT_EQ(ReadCorrData(dir.filePath("missing.dat").toLocal8Bit().constData()), -1);
    EXPECT_FALSE(QFile::exists(dir.filePath("LTlinear.dat")));
}

class FlashTest : public UnpacedLinkTest {
  protected:
    void SetUp() override {
        UnpacedLinkTest::SetUp();
        startProgram();
        previousDirectory = QDir::currentPath();
        QDir::setCurrent(scratch.path());
        char path[MAX_PATHNAME_LEN];
        GetFullPathFromProject("CONconfig.dat", path);
        configPath = path;
        tick("PANEL_RBTFILE");
        statusHistory.clear();
    }
    void TearDown() override {
        QDir::setCurrent(previousDirectory);
        UnpacedLinkTest::TearDown();
    }
    // Sends with the correction file of the program's directory chosen in the dialog.
    void program(const QByteArray &content, const QString &chosen = {}) {
        WriteFile(configPath, content);
        const QString path = chosen.isEmpty() ? configPath : chosen;
        QueueFileSelectAnswer(VAL_EXISTING_FILE_SELECTED, path.toLocal8Bit().constData());
        press("PANEL_BTNSEND");
    }
    QStringList pageTexts() const { return statusHistory.filter("FLASH page"); }
    std::vector<kvsim::Request> flashRequests() const {
        std::vector<kvsim::Request> flash;
        for (const kvsim::Request &request : sim.requests())
            if (request.order == 20 || request.order == 21)
                flash.push_back(request);
        return flash;
    }
    QString configPath;
    QTemporaryDir scratch;
    QString previousDirectory;
};

TEST_F(FlashTest, ACompleteRunFillsPagesFourToSevenWithTheTable) {
    std::vector<int> value = identity();
    value[1000] = 70000;
    value[1001] = 70001;
    for (int i = 1002; i < KEYS; ++i)
        value[size_t(i)] = 70000 + i;
    program(correctionFile(value, identity()));

    EXPECT_EQ(pageTexts(), (QStringList{"ok : F801 FLASH page4-write 255 words!",
                                        "ok : F801 FLASH page5-write 255 words!",
                                        "ok : F801 FLASH page6-write 255 words!",
                                        "ok : F801 FLASH page7-write 255 words!"}));
    const std::vector<int> t = table();
    for (int page = 4; page <= 7; ++page) {
        const kvsim::Page flash = sim.flashPage(page);
        for (int k = 0; k < 256; ++k)
            ASSERT_EQ(flash[size_t(k)], t[size_t(256 * (page - 4) + k)] & 0xFFFF) << page << k;
    }
    EXPECT_EQ(sim.flashPage(7)[1000 - 768], 0x1170);
    EXPECT_EQ(intValue(PANEL_VALNORM), 0);

    const std::vector<kvsim::Request> flash = flashRequests();
    ASSERT_EQ(flash.size(), 128u);
    const kvsim::Frame first = kvsim::makeFrame(flash.front().order, flash.front().words);
    EXPECT_EQ(std::vector<int>(first.begin(), first.begin() + 8),
              (std::vector<int>{0x00, 0x55, 0x00, 0x14, 0x00, 0x00, 0x14, 0x00}));
    const kvsim::Frame last = kvsim::makeFrame(flash[126].order, flash[126].words);
    EXPECT_EQ(std::vector<int>(last.begin(), last.begin() + 8),
              (std::vector<int>{0x00, 0x55, 0x00, 0x14, 0x00, 0x00, 0x17, 0xF0}));
    EXPECT_EQ(flash[127].order, 21);
    EXPECT_EQ(QFile::exists(scratch.filePath("LTlinear.dat")), true);
}

TEST_F(FlashTest, ARefusedBlockEndsItsPageAndTheNextPageFollows) {
    kvsim::Faults refuse;
    refuse.refuseEraseAt = 0x1530; // page 5, block 3
    sim.setFaults(refuse);
    program(correctionFile(identity(), identity()));

    EXPECT_EQ(pageTexts(), (QStringList{"ok : F801 FLASH page4-write 255 words!",
                                        "error : F801 FLASH page5-write <255 words!",
                                        "ok : F801 FLASH page6-write 255 words!",
                                        "ok : F801 FLASH page7-write 255 words!"}));
    EXPECT_TRUE(statusHistory.contains("error : F801 FLASH erase-adress not valid!"));
    for (const kvsim::Request &request : flashRequests())
        ASSERT_FALSE(request.order == 20 && request.words[1] > 0x1530 && request.words[1] < 0x1600)
            << "no block of page 5 after the refused one";
    EXPECT_EQ(flashRequests().size(), 128u - 2 * 12);
}

TEST_F(FlashTest, AnUnknownInformationEchoSendsNoDataBlockForThatAddress) {
    kvsim::Faults wrongInfo;
    wrongInfo.wrongInfoEchoAt = 0x1620;
    sim.setFaults(wrongInfo);
    program(correctionFile(identity(), identity()));

    const std::vector<kvsim::Request> flash = flashRequests();
    for (size_t i = 0; i + 1 < flash.size(); ++i) {
        if (flash[i].order == 20 && flash[i].words[1] == 0x1620) {
            EXPECT_EQ(flash[i + 1].words[1], 0x1700) << "the next order is page 7's first block";
        }
    }
    EXPECT_EQ(pageTexts().at(2), "error : F801 FLASH page6-write <255 words!");
    EXPECT_EQ(pageTexts().at(3), "ok : F801 FLASH page7-write 255 words!");
}

TEST_F(FlashTest, WithNoAnswerEveryPageFailsAtItsFirstBlock) {
    kvsim::Faults silent;
    silent.silent = true;
    sim.setFaults(silent);
    // The flash run processes no events, but its pauses repaint: the progress shows.
    QStringList shownDuringRun;
    PaintWatch watch(control("PANEL_VALNORM"), &shownDuringRun);
    program(correctionFile(identity(), identity()));

    EXPECT_EQ(pageTexts(), (QStringList{"error : F801 FLASH page4-write <255 words!",
                                        "error : F801 FLASH page5-write <255 words!",
                                        "error : F801 FLASH page6-write <255 words!",
                                        "error : F801 FLASH page7-write <255 words!"}));
    EXPECT_TRUE(shownDuringRun.contains("16"));
    EXPECT_EQ(flashRequests().size(), 4u);
    EXPECT_EQ(sim.flashPage(4)[0], 0xFFFF);
}

TEST_F(FlashTest, ABadCorrectionFileSendsNothing) {
    program("1 2\n3 4\n");
    EXPECT_EQ(status(), "Error reading correction-file!");
    EXPECT_TRUE(flashRequests().empty());
}

TEST_F(FlashTest, TheFileNameMatchesInAnyLetterCaseAndElsewhereItIsAParameterFile) {
    QString shouted = configPath;
    shouted.replace("CONconfig.dat", "conCONFIG.DAT");
    WriteFile(configPath, correctionFile(identity(), identity()));
    QueueFileSelectAnswer(VAL_EXISTING_FILE_SELECTED, shouted.toLocal8Bit().constData());
    press("PANEL_BTNSEND");
    EXPECT_EQ(flashRequests().size(), 128u);

    sim.clearRequests();
    const QString elsewhere = scratch.filePath("CONconfig.dat");
    QueueFileSelectAnswer(VAL_NEW_FILE_SELECTED, elsewhere.toLocal8Bit().constData());
    press("PANEL_BTNSEND");
    EXPECT_TRUE(flashRequests().empty());
    QFile saved(elsewhere);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll().count('\n'), 16) << "saved as a parameter file";
}

TEST_F(FlashTest, ADataBlockThatTimesOutOrEchoesUnknownEndsItsPageEvenInTheLastBlock) {
    kvsim::Faults faults;
    faults.unknownDataEchoAt = 0x1420; // page 4, block 2
    // Page 4 ends after 6 orders; pages 5 and 6 take 32 each; the last data block of page 7 is
    // then the 102nd order.
    faults.silentFromRequest = long(sim.requestCount()) + 6 + 32 + 32 + 31;
    sim.setFaults(faults);
    program(correctionFile(identity(), identity()));

    EXPECT_EQ(pageTexts(), (QStringList{"error : F801 FLASH page4-write <255 words!",
                                        "ok : F801 FLASH page5-write 255 words!",
                                        "ok : F801 FLASH page6-write 255 words!",
                                        "error : F801 FLASH page7-write <255 words!"}));
    EXPECT_TRUE(statusHistory.contains("error : F801 unknown-echo at order=21!"));
    EXPECT_TRUE(statusHistory.contains("Timeout < 36 Bytes"));
    EXPECT_EQ(flashRequests().size(), 6u + 32 + 32 + 32);
    EXPECT_EQ(sim.flashPage(7)[239], 1007) << "block 14 of page 7 went in";
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

    EXPECT_EQ(flashRequests().size(), 128u);
    QFile file(configPath);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), content);

    const QString parameterFile = scratch.filePath("set.dat");
    WriteFile(parameterFile, "keep me\n");
    QueueFileSelectAnswer(VAL_EXISTING_FILE_SELECTED, parameterFile.toLocal8Bit().constData());
    press("PANEL_BTNSEND");
    QFile kept(parameterFile);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "keep me\n") << "the question was asked here, and answered no";
}

class SecondPortFlashTest : public FlashTest {
  protected:
    SecondPortFlashTest() : second(kvsim::Simulator::Options{false, {}, 2, {}}) {}
    void SetUp() override {
        secondLink = "/tmp/kelvaro-test-" + std::to_string(getpid()) + "-COM2";
        std::string error;
        ASSERT_TRUE(second.start(secondLink, &error)) << error;
        setenv("KELVARO_COM2", secondLink.c_str(), 1);
        FlashTest::SetUp();
    }
    void TearDown() override {
        FlashTest::TearDown();
        second.stop();
        unsetenv("KELVARO_COM2");
    }
    kvsim::Simulator second;
    std::string secondLink;
};

TEST_F(SecondPortFlashTest, TheFlashFollowsThePortPickedInTheRing) {
    auto *ring = control<QComboBox>("PANEL_DROPDCOM");
    ring->showPopup();
    ring->hidePopup();
    const int index = ring->findData(2);
    ASSERT_GE(index, 0);
    ring->setCurrentIndex(index);
    emit ring->activated(index);
    ASSERT_EQ(com, 2);
    sim.clearRequests();
    // The port start-up targets RAM again whatever button stays ticked.
    press("PANEL_RBTRAM");
    press("PANEL_RBTFILE");

    program(correctionFile(identity(), identity()));

    EXPECT_TRUE(flashRequests().empty()) << "nothing for the controller on port 1";
    EXPECT_EQ(second.flashPage(7)[255], 1023);
    EXPECT_EQ(pageTexts().last(), "ok : F801 FLASH page7-write 255 words!");
}
