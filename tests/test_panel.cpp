// The panel as loaded from its file, its timer, the panel service's events and values, and its
// dialogs.
#include "program_fixture.h"

#include "parameter_words.h"

#include "filedialog.h"
#include "internal.h"
#include "utility.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace kelvaro;

TEST_F(PanelTest, EveryControlOfThePanelHasATipAndAnAccessibleName) {
    for (QWidget *widget : window()->findChildren<QWidget *>()) {
        const QString name = widget->objectName();
        if (name.startsWith("PANEL_") && name != "PANEL_TIMER50MS") {
            EXPECT_FALSE(widget->accessibleName().isEmpty()) << qPrintable(name);
            EXPECT_FALSE(widget->toolTip().isEmpty()) << qPrintable(name);
        }
    }
}

// The words' names in messages, JSON and the journal are the panel's labels: a label changed in
// the panel file without the table fails here.
TEST_F(PanelTest, EveryParameterWordIsNamedAsThePanelLabelsIt) {
    int labelled = 0;
    for (const ParameterWord &word : PARAMETER_WORDS) {
        if (!word.control)
            continue;
        for (QLabel *label : window()->findChildren<QLabel *>()) {
            if (label->buddy() && label->buddy()->property("ctrlId").toInt() == word.control) {
                EXPECT_EQ(label->text().remove('&'), word.label);
                ++labelled;
            }
        }
    }
    EXPECT_EQ(labelled, 13) << "each control on the panel has its label";
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

TEST(PanelFile, AMissingFileOrACallbackTheProgramDoesNotHaveIsRefused) {
    EXPECT_EQ(LoadPanel(0, "/nonexistent/KELVARO1V10.uir", 1), UIE_PANEL_FILE);
    EXPECT_EQ(LoadPanel(0, "no-such-panel.uir", 1), UIE_PANEL_FILE);
    EXPECT_NE(std::string(LastPanelError()), "");

    QTemporaryDir dir;
    EXPECT_EQ(LoadForm(dir, FormItem("QPushButton", "PANEL_X", 2, {}, "CC_Missing")), UIE_CALLBACK);
    EXPECT_NE(std::string(LastPanelError()).find("CC_Missing"), std::string::npos);
}

namespace {

std::vector<std::pair<int, int>> events; // (control, event)

int recordEvent(int, int control, int event, void *, int, int) {
    events.emplace_back(control, event);
    return 0;
}

} // namespace

TEST(PanelEvents, OperatorInputBecomesTheEventsTheCallbacksExpect) {
    QTemporaryDir dir;
    RegisterCtrlCallback("recordEvent", recordEvent);
    events.clear();
    const int panel = LoadForm(
        dir,
        FormItem("QPushButton", "PANEL_BUTTON", 2, {}, "recordEvent") +
            FormItem("QRadioButton", "PANEL_RADIO", 4,
                     R"(<property name="text"><string>radio</string></property>)", "recordEvent") +
            FormItem("QComboBox", "PANEL_RING", 5,
                     R"(<item><property name="text"><string>a</string></property></item>)"
                     R"(<item><property name="text"><string>b</string></property></item>)",
                     "recordEvent"));
    ASSERT_GT(panel, 0) << LastPanelError();
    DisplayPanel(panel);
    using Events = std::vector<std::pair<int, int>>;

    auto *button = PanelControlWidget(panel, 2);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(events, (Events{{2, EVENT_LEFT_CLICK}, {2, EVENT_COMMIT}}));
    events.clear();
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Space);
    EXPECT_EQ(events, (Events{{2, EVENT_LEFT_CLICK}, {2, EVENT_COMMIT}}))
        << "the keyboard presses as the mouse does";
    events.clear();
    QTest::mousePress(button, Qt::LeftButton);
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(-5, -5));
    QCoreApplication::processEvents();
    QTest::keyClick(button, Qt::Key_Space);
    EXPECT_EQ(events, (Events{{2, EVENT_LEFT_CLICK}, {2, EVENT_LEFT_CLICK}, {2, EVENT_COMMIT}}))
        << "a press released off the button still leaves the keyboard its left click";

    events.clear();
    QTest::mouseClick(PanelControlWidget(panel, 4), Qt::LeftButton);
    EXPECT_EQ(events, (Events{{4, EVENT_VAL_CHANGED}, {4, EVENT_COMMIT}}));
    int ticked = 0;
    GetCtrlVal(panel, 4, &ticked);
    EXPECT_EQ(ticked, 1);

    events.clear();
    auto *ring = qobject_cast<QComboBox *>(PanelControlWidget(panel, 5));
    ring->setCurrentIndex(1);
    emit ring->activated(1);
    emit ring->activated(1);
    EXPECT_EQ(events, (Events{{5, EVENT_VAL_CHANGED}, {5, EVENT_COMMIT}, {5, EVENT_COMMIT}}));

    events.clear();
    EXPECT_EQ(SetCtrlVal(panel, 4, 0), 0);
    EXPECT_EQ(SetCtrlVal(panel, 5, 0), 0);
    EXPECT_TRUE(events.empty()) << "values set by the program raise no event";
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
    const int panel = LoadForm(dir, FormItem("QPushButton", "PANEL_SEND", 2, {}, "openADialog"));
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
