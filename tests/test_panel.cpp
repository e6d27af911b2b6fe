// The panel as loaded from its file, the panel service's events and values, and the program
// state at start-up.
#include "program_fixture.h"

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
    int named = 0;
    for (QWidget *widget : window()->findChildren<QWidget *>()) {
        if (!widget->objectName().startsWith("PANEL_"))
            continue;
        ++named;
        if (widget->objectName() == "PANEL_TIMER50MS")
            continue;
        EXPECT_FALSE(widget->accessibleName().isEmpty()) << qPrintable(widget->objectName());
        EXPECT_FALSE(widget->toolTip().isEmpty()) << qPrintable(widget->objectName());
    }
    EXPECT_EQ(named, 39);
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

TEST_F(PanelTest, TheTitleIsWhiteEighteenPointTextOnAzureAtThirtyNineteen) {
    QLabel *title = nullptr;
    for (QLabel *label : window()->findChildren<QLabel *>())
        if (label->text() == "KEL-VA-RO1-V1.0 ")
            title = label;
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->pos(), QPoint(30, 19));
    EXPECT_EQ(title->font().pointSize(), 18);
    EXPECT_EQ(title->palette().color(QPalette::Window), QColor(0x00, 0x80, 0xFF));
    EXPECT_EQ(title->palette().color(QPalette::WindowText), QColor(Qt::white));
    EXPECT_TRUE(title->autoFillBackground());
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

TEST_F(PanelTest, TheTickCountStopsAtSixtyThousand) {
    ttick = 59999;
    CC_Timer50ms(panelHandle, PANEL_TIMER50MS, EVENT_TIMER_TICK, nullptr, 0, 0);
    EXPECT_EQ(ttick, 60000);
    CC_Timer50ms(panelHandle, PANEL_TIMER50MS, EVENT_TIMER_TICK, nullptr, 0, 0);
    CC_Timer50ms(panelHandle, PANEL_TIMER50MS, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(ttick, 60000);
}

TEST_F(PanelTest, TheTimerControlTicksIntoTheCallback) {
    ttick = 0;
    const double start = Timer();
    while (ttick < 2 && Timer() - start < 2.0)
        ProcessSystemEvents();
    EXPECT_GE(ttick, 2);
    SetCtrlAttribute(panelHandle, PANEL_TIMER50MS, ATTR_ENABLED, 0);
    const unsigned short stopped = ttick;
    const double pause = Timer();
    while (Timer() - pause < 0.2)
        ProcessSystemEvents();
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

QString writeForm(const QTemporaryDir &dir, const QString &body) {
    const QString path = dir.filePath("form.uir");
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(R"(<?xml version="1.0" encoding="UTF-8"?><ui version="4.0"><class>T</class>
<widget class="QWidget" name="PANEL"><property name="ctrlId" stdset="0"><number>1</number></property>
<layout class="QVBoxLayout">)" +
               body.toUtf8() + "</layout></widget></ui>");
    return path;
}

QString item(const char *cls, const char *name, int id, const char *extra = "") {
    return QString(
               R"(<item><widget class="%1" name="%2"><property name="ctrlId" stdset="0"><number>%3</number></property>
<property name="callback" stdset="0"><string>recordEvent</string></property>%4</widget></item>)")
        .arg(cls, name)
        .arg(id)
        .arg(extra);
}

} // namespace

TEST(PanelFile, ACallbackTheProgramDoesNotHaveIsRefused) {
    QTemporaryDir dir;
    const QString path =
        writeForm(dir, item("QPushButton", "PANEL_X", 2).replace("recordEvent", "CC_Missing"));
    EXPECT_EQ(LoadPanel(0, path.toLocal8Bit().constData(), 1), UIE_CALLBACK);
    EXPECT_NE(std::string(LastPanelError()).find("CC_Missing"), std::string::npos);
}

TEST(PanelEvents, OperatorInputBecomesTheEventsTheCallbacksExpect) {
    QTemporaryDir dir;
    RegisterCtrlCallback("recordEvent", recordEvent);
    const QString path =
        writeForm(dir, item("QPushButton", "PANEL_BUTTON", 2) +
                           item("QSpinBox", "PANEL_NUMBER", 3,
                                R"(<property name="maximum"><number>65535</number></property>)") +
                           item("QRadioButton", "PANEL_RADIO", 4,
                                R"(<property name="text"><string>radio</string></property>)") +
                           item("QComboBox", "PANEL_RING", 5,
                                R"(<item><property name="text"><string>a</string></property></item>
                         <item><property name="text"><string>b</string></property></item>)"));
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
