// The Compare window against the simulator: the panel's set, RAM, EEPROM and a file side by side,
// the rows that differ marked, a column taken into the panel and written only by Send.
#include "program_fixture.h"

#include "filedialog.h"

#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

using namespace kelvaro;

namespace {

const int PANEL_COLUMN = 0, RAM_COLUMN = 1, EEPROM_COLUMN = 2, FILE_COLUMN = 3;

} // namespace

class CompareTest : public StartedTest {
  protected:
    void open() {
        choose("PANEL_MENUCOMPARE");
        compare = nullptr;
        for (QWidget *top : QApplication::topLevelWidgets())
            if (top->objectName() == "COMPARE")
                compare = top;
        ASSERT_NE(compare, nullptr);
        table = compare->findChild<QTableWidget *>("COMPARE_TABLE");
    }
    std::vector<int> column(int which) const {
        std::vector<int> values;
        for (int row = 0; row < table->rowCount(); ++row)
            values.push_back(table->item(row, which)->text().toInt());
        return values;
    }
    // The rows marked as differing, by their position.
    std::vector<int> marked() const {
        std::vector<int> rows;
        for (int row = 0; row < table->rowCount(); ++row)
            if (table->verticalHeaderItem(row)
                    ->data(Qt::AccessibleTextRole)
                    .toString()
                    .endsWith(", differs"))
                rows.push_back(row);
        return rows;
    }
    void click(const QString &name) { compare->findChild<QPushButton *>(name)->click(); }

    QWidget *compare = nullptr;
    QTableWidget *table = nullptr;
};

TEST_F(CompareTest, OpeningReadsRamAndEepromBesideThePanelAndMarksTheWordsThatDiffer) {
    kvsim::Words eeprom = sim.ram();
    eeprom[2] = 777;
    eeprom[15] = 65535;
    sim.setEeprom(eeprom);
    SetCtrlVal(panelHandle, PANEL_HOLD, 4321); // the operator's edit, not sent
    open();

    EXPECT_EQ(column(RAM_COLUMN), WordsOf(sim.ram()));
    EXPECT_EQ(column(EEPROM_COLUMN), WordsOf(eeprom));
    EXPECT_EQ(column(PANEL_COLUMN)[5], 4321);
    EXPECT_EQ(marked(), (std::vector<int>{2, 5, 15}));
    EXPECT_EQ(table->verticalHeaderItem(2)->text(), "\u2260 Tolerance");
    EXPECT_EQ(ordersReceived(), (std::vector<int>{2, 4})) << "get's orders, nothing written";
    EXPECT_FALSE(statusHistory.contains("Data Transfer Ok!")) << "the panel took no set";
    EXPECT_EQ(wordValue(PANEL_HOLD), 4321) << "the operator's edit stays on the panel";
    EXPECT_NE(hold, 4321) << "and out of the variables until Send or Teach reads the panel";

    const QString file = workingFolder.filePath("line7.dat");
    WriteFile(file, "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n12\n13\n14\n15\n16\n");
    QueueFileSelectAnswer(VAL_EXISTING_FILE_SELECTED, file.toLocal8Bit().constData());
    click(QString("COMPARE_FETCH_%1").arg(FILE_COLUMN));
    EXPECT_EQ(column(FILE_COLUMN),
              (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    const std::vector<int> all = marked();
    EXPECT_EQ(all.size(), 15u);
    EXPECT_EQ(std::find(all.begin(), all.end(), 7), all.end()) << "Average is 8 in every column";
}

TEST_F(CompareTest, ATakenColumnGoesOnThePanelAndOnlySendWritesIt) {
    kvsim::Words eeprom = sim.ram();
    eeprom[1] = 1234;
    sim.setEeprom(eeprom);
    open();
    sim.clearRequests();
    click(QString("COMPARE_TAKE_%1").arg(EEPROM_COLUMN));
    const std::vector<int> taken = WordsOf(eeprom);
    EXPECT_EQ(PanelParameters(), std::vector<int>(taken.begin(), taken.begin() + 13));
    EXPECT_EQ(column(PANEL_COLUMN), taken);
    EXPECT_EQ(marked(), std::vector<int>{1}) << "the RAM still holds the old reference";
    EXPECT_TRUE(ordersReceived().empty()) << "nothing is written by taking";

    press("PANEL_BTNSEND");
    ASSERT_TRUE(waitFor([&] { return sim.ram() == eeprom; }, 2.0));
    click(QString("COMPARE_FETCH_%1").arg(RAM_COLUMN));
    EXPECT_TRUE(marked().empty());
}

// Opened while a Teach waits for a slow answer, Compare does not read inside that wait: its reads
// are refused and say so in their columns, and the panel ends with the Teach's read-back.
TEST_F(CompareTest, OpenedDuringASlowTeachItsReadsAreRefusedAndThePanelKeepsTheReadBack) {
    kvsim::Faults slowTeach = Fault(&kvsim::Faults::lateOrder, int(ORDER_TEACH));
    slowTeach.lateSeconds = 0.5;
    sim.setFaults(slowTeach);
    kvsim::Words eeprom = sim.ram();
    eeprom[0] = 1111;
    sim.setEeprom(eeprom);
    QTimer::singleShot(100, window(), [this] { open(); });
    press("PANEL_BUTTONTEACH");

    EXPECT_EQ(ordersReceived(), (std::vector<int>{6, 2})) << "no read inside the teach's wait";
    const std::vector<int> ram = WordsOf(sim.ram());
    EXPECT_EQ(PanelParameters(), std::vector<int>(ram.begin(), ram.begin() + 13));
    EXPECT_EQ(status(), "Parameter-frame received! - Line Ok!");
    ASSERT_NE(compare, nullptr);
    for (const int which : {RAM_COLUMN, EEPROM_COLUMN}) {
        const QString note =
            compare->findChild<QLabel *>(QString("COMPARE_NOTE_%1").arg(which))->text();
        EXPECT_TRUE(note.startsWith("Line busy: teach waits for its answer on COM1"))
            << note.toStdString();
    }
    click(QString("COMPARE_FETCH_%1").arg(EEPROM_COLUMN));
    EXPECT_EQ(column(EEPROM_COLUMN), WordsOf(eeprom)) << "read once the line is free";
}
