// The panel as loaded from its file, the panel service's events and values, and the program
// state at start-up.
#include "program_fixture.h"

#include "filedialog.h"
#include "internal.h"
#include "utility.h"

#include <QAccessible>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <map>

using namespace kelvaro;

TEST_F(PanelTest, EveryControlOfThePanelIsThereWithALabelATipAndAnAccessibleName) {
    for (QWidget *widget : window()->findChildren<QWidget *>()) {
        if (!widget->objectName().startsWith("PANEL_"))
            continue;
        if (widget->objectName() == "PANEL_TIMER50MS")
            continue;
        EXPECT_FALSE(widget->accessibleName().isEmpty()) << qPrintable(widget->objectName());
        EXPECT_FALSE(widget->toolTip().isEmpty()) << qPrintable(widget->objectName());
    }
    for (int id : {PANEL_DROPDCOM,       PANEL_NORMCHART, PANEL_RAWCHART, PANEL_RNGGRAPHSOURCE,
                   PANEL_BTNDATA,        PANEL_TOLLED,    PANEL_REFLED,   PANEL_RBTFILE,
                   PANEL_RBTEEPROM,      PANEL_RBTRAM,    PANEL_BTNRUN,   PANEL_VALNORM,
                   PANEL_ADCCHB,         PANEL_ADCCHA,    PANEL_LOVAL,    PANEL_UPVAL,
                   PANEL_AMAX,           PANEL_TIMER50MS, PANEL_STATUS,   PANEL_GRAPH,
                   PANEL_TOGBUTTONPARAII})
        EXPECT_EQ(SetCtrlAttribute(panelHandle, id, ATTR_VISIBLE, id != PANEL_TIMER50MS), 0) << id;
}

TEST_F(PanelTest, StartUpStateIsTheDefaults) {
    EXPECT_EQ(ProgramParameters(), DEFAULT_SET);
    EXPECT_EQ(refTHD, 2048);
    EXPECT_EQ(upTHD, 2560);
    EXPECT_EQ(lowTHD, 1536);
    EXPECT_EQ(status(), "InitVars");
    EXPECT_EQ(arrayNORM[0], 2560);
    EXPECT_EQ(arrayNORM[397], 1536);
    EXPECT_EQ(arrayNORM[398], 2048);
    EXPECT_EQ(arrayNORM[399], 0);
    EXPECT_EQ(xArray[255], 255);
    EXPECT_EQ(intValue(PANEL_RBTRAM), 1);
    EXPECT_EQ(intValue(PANEL_RNGGRAPHSOURCE), 1);
}

TEST_F(PanelTest, ParameterControlsCarryUnsignedSixteenBitValuesBothWays) {
    SetCtrlVal(panelHandle, PANEL_REFERENCE, 65535);
    SetCtrlVal(panelHandle, PANEL_SDELAY, 0);
    GetPanelValues();
    EXPECT_EQ(reference, 65535);
    EXPECT_EQ(sdelay, 0);
    para13 = 77;
    power = 1234;
    SetPanelValues();
    EXPECT_EQ(wordValue(PANEL_POWER), 1234);
    EXPECT_EQ(wordValue(PANEL_REFERENCE), 65535);
    GetPanelValues();
    SetPanelValues();
    EXPECT_EQ(wordValue(PANEL_REFERENCE), 65535);
    EXPECT_EQ(para13, 77);
}

TEST_F(PanelTest, ChartWindowsAreFilledUnclamped) {
    FillarrayNORM(600, 100, 7);
    for (int k = 0; k < 100; ++k) {
        EXPECT_EQ(arrayNORM[4 * k], 700);
        EXPECT_EQ(arrayNORM[4 * k + 1], -500);
        EXPECT_EQ(arrayNORM[4 * k + 2], 100);
        EXPECT_EQ(arrayNORM[4 * k + 3], 7);
    }
}

TEST_F(PanelTest, TheTimerControlTicksIntoTheCallbackWhenTheLoopNextWakes) {
    ttick = 0;
    const double start = Timer();
    while (Timer() < start + 0.2)
        ProcessSystemEventsUntil(start + 0.2);
    ProcessSystemEvents();
    EXPECT_GE(ttick, 3) << "the ticks of 0.2 s, though nothing woke the loop for them";
    SetCtrlAttribute(panelHandle, PANEL_TIMER50MS, ATTR_ENABLED, 0);
    const unsigned short stopped = ttick;
    const double pause = Timer();
    while (Timer() - pause < 0.2)
        ProcessSystemEventsUntil(pause + 0.2);
    EXPECT_EQ(ttick, stopped);
}

TEST_F(PanelTest, ClosingTheWindowEndsTheEventLoop) {
    DisplayPanel(panelHandle);
    window()->close();
    EXPECT_TRUE(window()->isVisible()) << "the panel stays until it is discarded";
    EXPECT_EQ(RunUserInterface(), 0);
}

TEST(PanelFile, AMissingFileGivesANegativeHandle) {
    EXPECT_EQ(LoadPanel(0, "/nonexistent/KELVARO1V10.uir", 1), UIE_PANEL_FILE);
    EXPECT_EQ(LoadPanel(0, "no-such-panel.uir", 1), UIE_PANEL_FILE);
    EXPECT_NE(std::string(LastPanelError()), "");
}

namespace {

std::vector<std::pair<int, int>> events; // (control, event)

int recordEvent(int, int control, int event, void *, int, int) {
    events.emplace_back(control, event);
    return 0;
}

} // namespace

TEST(PanelFile, ACallbackTheProgramDoesNotHaveIsRefused) {
    QTemporaryDir dir;
    const QString path =
        WriteForm(dir.path(), FormItem("QPushButton", "PANEL_X", 2, {}, "CC_Missing"));
    EXPECT_EQ(LoadPanel(0, path.toLocal8Bit().constData(), 1), UIE_CALLBACK);
    EXPECT_NE(std::string(LastPanelError()).find("CC_Missing"), std::string::npos);
}

TEST(PanelEvents, OperatorInputBecomesTheEventsTheCallbacksExpect) {
    QTemporaryDir dir;
    RegisterCtrlCallback("recordEvent", recordEvent);
    const QString path = WriteForm(
        dir.path(),
        FormItem("QPushButton", "PANEL_BUTTON", 2, {}, "recordEvent") +
            FormItem("QSpinBox", "PANEL_NUMBER", 3,
                     R"(<property name="maximum"><number>65535</number></property>)",
                     "recordEvent") +
            FormItem("QRadioButton", "PANEL_RADIO", 4,
                     R"(<property name="text"><string>radio</string></property>)", "recordEvent") +
            FormItem("QComboBox", "PANEL_RING", 5,
                     R"(<item><property name="text"><string>a</string></property></item>)"
                     R"(<item><property name="text"><string>b</string></property></item>)",
                     "recordEvent"));
    const int panel = LoadPanel(0, path.toLocal8Bit().constData(), 1);
    ASSERT_GT(panel, 0) << LastPanelError();
    QWidget *form = nullptr;
    for (QWidget *top : QApplication::topLevelWidgets())
        if (top->property("kvPanel").toInt() == panel)
            form = top;
    ASSERT_NE(form, nullptr);
    DisplayPanel(panel);

    events.clear();
    QTest::mouseClick(form->findChild<QPushButton *>("PANEL_BUTTON"), Qt::LeftButton);
    EXPECT_EQ(events, (std::vector<std::pair<int, int>>{{2, EVENT_LEFT_CLICK}, {2, EVENT_COMMIT}}));

    events.clear();
    form->findChild<QPushButton *>("PANEL_BUTTON")->setFocus();
    QTest::keyClick(form->findChild<QPushButton *>("PANEL_BUTTON"), Qt::Key_Space);
    EXPECT_EQ(events, (std::vector<std::pair<int, int>>{{2, EVENT_COMMIT}}))
        << "the keyboard commits without a mouse press";

    events.clear();
    QTest::mouseClick(form->findChild<QRadioButton *>("PANEL_RADIO"), Qt::LeftButton);
    EXPECT_EQ(events,
              (std::vector<std::pair<int, int>>{{4, EVENT_VAL_CHANGED}, {4, EVENT_COMMIT}}));
    int ticked = 0;
    GetCtrlVal(panel, 4, &ticked);
    EXPECT_EQ(ticked, 1);

    events.clear();
    auto *ring = form->findChild<QComboBox *>("PANEL_RING");
    ring->setCurrentIndex(1);
    emit ring->activated(1);
    emit ring->activated(1);
    EXPECT_EQ(events, (std::vector<std::pair<int, int>>{
                          {5, EVENT_VAL_CHANGED}, {5, EVENT_COMMIT}, {5, EVENT_COMMIT}}));

    events.clear();
    EXPECT_EQ(SetCtrlVal(panel, 3, 65535), 0);
    EXPECT_EQ(SetCtrlVal(panel, 4, 0), 0);
    EXPECT_EQ(SetCtrlVal(panel, 5, 0), 0);
    EXPECT_TRUE(events.empty()) << "values set by the program raise no event";
    unsigned short number = 0;
    GetCtrlVal(panel, 3, &number);
    EXPECT_EQ(number, 65535);

    EXPECT_EQ(SetCtrlVal(panel, 99, 1), UIE_CONTROL_ID);
    EXPECT_EQ(SetCtrlAttribute(panel, 2, 1088, 1), UIE_ATTRIBUTE);
    EXPECT_EQ(SetCtrlVal(panel + 100, 2, 1), UIE_PANEL_HANDLE);
    DiscardPanel(panel);
}

namespace {

// A callback that opens a dialog: the release of the mouse button that pressed it goes there.
int openADialog(int, int, int event, void *, int, int) {
    if (event == EVENT_LEFT_CLICK)
        QTest::mouseRelease(QApplication::topLevelWidgets().first(), Qt::LeftButton);
    return 0;
}

} // namespace

TEST(PanelEvents, AButtonWhosePressOpenedADialogDoesNotStayDown) {
    QTemporaryDir dir;
    RegisterCtrlCallback("openADialog", openADialog);
    const int panel =
        LoadPanel(0,
                  WriteForm(dir.path(), FormItem("QPushButton", "PANEL_SEND", 2, {}, "openADialog"))
                      .toLocal8Bit()
                      .constData(),
                  1);
    ASSERT_GT(panel, 0) << LastPanelError();
    DisplayPanel(panel);
    auto *button = qobject_cast<QPushButton *>(PanelControlWidget(panel, 2));
    QTest::mousePress(button, Qt::LeftButton);
    EXPECT_FALSE(button->isDown());
    DiscardPanel(panel);
}

TEST(FileDialog, ADialogAfterTheProgramWasToldToEndReturnsAtOnce) {
    QuitUserInterface(0);
    char path[MAX_PATHNAME_LEN];
    // Cancel not allowed: without the end in view this dialog would wait for ever.
    EXPECT_EQ(FileSelectPopup("/tmp", "x.dat", "*.dat", "title", VAL_OK_BUTTON, 0, 1, 0, 1, path),
              VAL_NO_FILE_SELECTED);
    EXPECT_EQ(ConfirmPopup("title", "really?"), 0);
    EXPECT_EQ(RunUserInterface(), 0);
}
