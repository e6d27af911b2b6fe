// Getting data out: recordings of the live run ended every way, the curve export against the
// simulator's blocks, and the frame log against the bytes the simulator saw and sent.
#include "program_fixture.h"

#include "data_out.h"
#include "frame_log.h"
#include "recording.h"

#include "filedialog.h"
#include "utility.h"

#include <QImage>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QUrl>

using namespace kelvaro;

namespace {

QStringList linesOf(const QString &path) {
    return QString::fromUtf8(ReadFile(path)).split('\n');
}

} // namespace

class RecordingTest : public StartedTest {
  protected:
    // Record on, into file, for the next run.
    void record() {
        QueueFileSelectAnswer(VAL_NEW_FILE_SELECTED, file.toLocal8Bit().constData());
        press("PANEL_TOGRECORD");
    }
    // The recording's rows after its header, each checked for its thirteen columns.
    QStringList rows() {
        QStringList lines = linesOf(file);
        EXPECT_EQ(lines.value(0), "time,time_s,norm,a,b,amax,bmax,up,lo,tol,btn,ref_led,tol_led");
        EXPECT_EQ(lines.last(), "") << "the last row is complete";
        lines = lines.mid(1, lines.size() - 2);
        for (const QString &row : lines)
            EXPECT_EQ(row.count(','), 12) << row.toStdString();
        return lines;
    }
    QString file = workingFolder.filePath("run.csv");
};

TEST_F(RecordingTest, EveryAnswerIsARowInOrderWithTheLedsAsShownUntilStop) {
    reference = 500;
    tolerance = 100;
    hysteresis = 0;
    polarity = 1;
    const std::vector<uint16_t> script = {100, 450, 550, 650, 550, 450, 350, 500};
    sim.scriptNorm(script);
    record();
    auto *button = control<QPushButton>("PANEL_TOGRECORD");
    EXPECT_EQ(button->text(), "Re&cord (armed)") << "the next run records";
    runUntil(int(script.size()) + 1, [button] {
        EXPECT_EQ(button->text(), "\u25CF Re&cording");
        press("PANEL_BTNSTOP");
    });
    EXPECT_TRUE(QRegularExpression(R"(^kelvaro-\d{8}-\d{6}\.csv$)")
                    .match(LastFileSelectRequest()->defaultFileSpec)
                    .hasMatch())
        << "offered as Run started: a name with the date and time, "
        << LastFileSelectRequest()->defaultFileSpec;

    const QStringList recorded = rows();
    ASSERT_GE(recorded.size(), int(script.size()));
    // REF lit at or above 500, TOL lit within 400..600.
    const std::vector<std::pair<int, int>> leds = {{0, 0}, {0, 1}, {1, 1}, {1, 0},
                                                   {1, 1}, {0, 1}, {0, 0}, {1, 1}};
    double previous = -1;
    for (size_t i = 0; i < script.size(); ++i) {
        const QStringList columns = recorded.at(int(i)).split(',');
        EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}$)")
                        .match(columns[0])
                        .hasMatch())
            << columns[0].toStdString();
        EXPECT_GT(columns[1].toDouble(), previous);
        previous = columns[1].toDouble();
        EXPECT_EQ(columns[2].toInt(), script[i]) << i;
        EXPECT_EQ(columns[11].toInt(), leds[i].first) << "REF of row " << i;
        EXPECT_EQ(columns[12].toInt(), leds[i].second) << "TOL of row " << i;
    }
    EXPECT_EQ(status(),
              "Recorded " + std::to_string(recorded.size()) + " rows to " + file.toStdString());
    EXPECT_FALSE(IsRecording());
    EXPECT_FALSE(button->isChecked()) << "off once the run's file is closed";
    EXPECT_EQ(button->text(), "Re&cord");
    EXPECT_FALSE(window()->findChild<QAction *>("PANEL_MENURECORD")->isChecked());
}

TEST_F(RecordingTest, ARunThatCannotBeRecordedDoesNotStartAndAnOldFileStaysUnlessLetGo) {
    WriteFile(file, "kept\n");
    QueueFileSelectAnswer(VAL_EXISTING_FILE_SELECTED, file.toLocal8Bit().constData());
    QueueConfirmAnswer(0);
    press("PANEL_TOGRECORD");
    runUntil(3, [] { press("PANEL_BTNSTOP"); });
    EXPECT_EQ(liveRequests(), 0);
    EXPECT_EQ(ReadFile(file), "kept\n");
    EXPECT_FALSE(control<QPushButton>("PANEL_TOGRECORD")->isChecked());

    const QString unwritable = workingFolder.filePath("missing/run.csv");
    QueueFileSelectAnswer(VAL_NEW_FILE_SELECTED, unwritable.toLocal8Bit().constData());
    press("PANEL_TOGRECORD");
    runUntil(3, [] { press("PANEL_BTNSTOP"); });
    EXPECT_EQ(liveRequests(), 0);
    EXPECT_EQ(status(),
              "Recording not started: " + unwritable.toStdString() + ": No such file or directory");

    QueueFileSelectAnswer(VAL_EXISTING_FILE_SELECTED, file.toLocal8Bit().constData());
    QueueConfirmAnswer(1);
    press("PANEL_TOGRECORD");
    runUntil(3, [] { press("PANEL_BTNSTOP"); });
    EXPECT_GE(rows().size(), 2) << "replaced once let go";
}

TEST_F(RecordingTest, ARecordingEndedByATimeOutIsCompleteAndSaysBoth) {
    record();
    runUntil(5, [&] { sim.setFaults(Fault(&kvsim::Faults::silent, true)); });
    EXPECT_GE(rows().size(), 3);
    EXPECT_TRUE(saysNoAnswer(status(), "Timeout RS232-Line!")) << status();
    EXPECT_NE(status().find(" Recorded "), std::string::npos) << status();
}

TEST_F(RecordingTest, ARecordingEndedByALostDeviceIsCompleteAndSaysBoth) {
    record();
    runUntil(5, [&] { sim.stop(); });
    EXPECT_GE(rows().size(), 3);
    EXPECT_TRUE(saysGone(status())) << status();
    EXPECT_NE(status().find(" Recorded "), std::string::npos) << status();
}

TEST_F(RecordingTest, ARecordingEndedByClosingTheWindowIsComplete) {
    record();
    runUntil(5, [] { window()->close(); });
    EXPECT_GE(rows().size(), 3);
    EXPECT_FALSE(IsRecording());
}

TEST_F(RecordingTest, AFullDiskStopsTheRecordingButNotTheRun) {
    file = "/dev/full";
    int requestsWhenStopped = 0;
    record();
    runUntil([&] {
        if (requestsWhenStopped == 0 && !IsRecording() && liveRequests() > 3)
            requestsWhenStopped = liveRequests();
        if (requestsWhenStopped == 0 || liveRequests() < requestsWhenStopped + 5)
            return false;
        press("PANEL_BTNSTOP");
        return true;
    });
    EXPECT_GT(requestsWhenStopped, 0) << "the recording stopped within the run";
    EXPECT_TRUE(statusHistory.contains("Recording stopped: /dev/full: No space left on device"));
}

TEST_F(RecordingTest, TheCurveExportHoldsTheSimulatorsBlocks) {
    SetCtrlVal(panelHandle, PANEL_RNGGRAPHSOURCE, 0);
    press("PANEL_BTNDATA");
    const std::array<uint16_t, kvsim::CURVE_WORDS> curve = sim.curve(false);

    const QString csv = workingFolder.filePath("curve.csv");
    QueueFileSelectAnswer(VAL_NEW_FILE_SELECTED, csv.toLocal8Bit().constData());
    CC_MenuExportCurve(panelHandle, PANEL_MENUEXPORTCURVE, EVENT_COMMIT, nullptr, 0, 0);
    const QStringList lines = linesOf(csv);
    ASSERT_EQ(lines.size(), 1 + 128 + 1);
    EXPECT_EQ(lines[0], "i,a,b");
    for (int i = 0; i < 128; ++i)
        ASSERT_EQ(lines[1 + i],
                  QString("%1,%2,%3").arg(i).arg(curve[size_t(i)]).arg(curve[size_t(128 + i)]));

    const QString png = workingFolder.filePath("curve.png");
    QueueFileSelectAnswer(VAL_NEW_FILE_SELECTED, png.toLocal8Bit().constData());
    CC_MenuExportCurve(panelHandle, PANEL_MENUEXPORTCURVE, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(QImage(png).size(), control<QWidget>("PANEL_GRAPH")->size());
    EXPECT_EQ(status(), "Written: " + png.toStdString());

    const QString unwritable = workingFolder.filePath("gone/curve.csv");
    QueueFileSelectAnswer(VAL_NEW_FILE_SELECTED, unwritable.toLocal8Bit().constData());
    CC_MenuExportCurve(panelHandle, PANEL_MENUEXPORTCURVE, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(status(),
              "Could not write " + unwritable.toStdString() + ": No such file or directory");
}

class FrameLogTest : public LinkTest {};

TEST_F(FrameLogTest, TheFrameLogOfAStartUpIsWhatTheSimulatorSawAndSent) {
    kvsim::Faults overlong;
    overlong.extraBytes = 3;
    overlong.faultyOrder = ORDER_READ_RAM;
    sim.setFaults(overlong);
    const QString log = workingFolder.filePath("frames.log");
    std::string why;
    ASSERT_TRUE(OpenFrameLogFile(log.toLocal8Bit().constData(), &why)) << why;
    InitRS232(com);
    EXPECT_TRUE(waitFor([&] { return QFileInfo(log).size() > 0; }, 3.0))
        << "the frames before the line went quiet reach the disk, not only at the end";
    CloseFrameLogFile();

    QStringList sent;
    QStringList received;
    for (const QString &line : linesOf(log)) {
        const QStringList fields = line.split('\t');
        if (fields.size() != 5)
            continue;
        EXPECT_EQ(fields[2].toInt() * 3 - 1, fields[3].size()) << "count and hex agree";
        (fields[1] == "TX" ? sent : received) << fields[3] + "|" + fields[4];
    }
    const std::vector<kvsim::Request> requests = sim.requests();
    ASSERT_EQ(sent.size(), int(requests.size()));
    for (size_t i = 0; i < requests.size(); ++i) {
        const kvsim::Frame frame = kvsim::makeFrame(requests[i].order, requests[i].words);
        EXPECT_EQ(sent[int(i)].section('|', 0, 0),
                  QByteArray(reinterpret_cast<const char *>(frame.data()), int(frame.size()))
                      .toHex(' ')
                      .toUpper());
    }
    EXPECT_TRUE(sent[0].endsWith("|LINE_CHECK 500 2048 512 20 1 100 1 8 0 0 950 0 500 0 0 0"));

    EXPECT_TRUE(received[0].startsWith("00 55 00 05 00 AA")) << received[0].toStdString();
    QStringList ram;
    for (uint16_t word : sim.ram())
        ram << QString::number(word);
    EXPECT_TRUE(received.filter("|answer READ_RAM " + ram.join(' ')).size() == 1);
    EXPECT_EQ(received.filter("|firmware text \"" + QString(kvsim::FIRMWARE_TEXT) + "\"").size(),
              1);
    EXPECT_EQ(received.filter(QRegularExpression("READ_RAM|discarded")).join(' ').count("5A"), 3)
        << "the bytes behind an answer, logged and thrown away";
}

class MenuTest : public PanelTest {};

TEST_F(MenuTest, EveryMenuOpensFromTheKeyboardAndExportsWaitForSomethingToExport) {
    DisplayPanel(panelHandle);
    ASSERT_TRUE(QTest::qWaitForWindowActive(window()));
    for (const char *menu : {"menuFile", "menuView", "menuHelp"}) {
        const QString title = window()->findChild<QMenu *>(menu)->title();
        const auto key = Qt::Key(title.at(title.indexOf('&') + 1).toUpper().unicode());
        QTest::keyClick(window(), key, Qt::AltModifier);
        ASSERT_EQ(QApplication::activePopupWidget(), window()->findChild<QMenu *>(menu)) << menu;
        QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
    }
    for (QAction *item : window()->findChildren<QAction *>()) {
        if (item->objectName() == "PANEL_MENUEXPORTCURVE" ||
            item->objectName() == "PANEL_MENUEXPORTCHART") {
            EXPECT_FALSE(item->isEnabled()) << item->objectName().toStdString();
        }
    }
}
