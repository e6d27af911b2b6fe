// The window from the keyboard and its secondary windows: every underlined letter one control's,
// Send from its letter, focus and Tab in reading order, the manual on F1 naming every control,
// Compare and the frame log over the panel, whole, closed by Esc and placed again where left.
#include "program_fixture.h"

#include "framelog.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QTextBrowser>

#include <map>

using namespace kelvaro;

namespace {

QWidget *topLevel(const char *name) {
    for (QWidget *top : QApplication::topLevelWidgets())
        if (top->objectName() == QLatin1String(name))
            return top;
    return nullptr;
}

std::string rectText(const QRect &rect) {
    return QString("%1,%2 %3x%4")
        .arg(rect.x())
        .arg(rect.y())
        .arg(rect.width())
        .arg(rect.height())
        .toStdString();
}

// The text of a widget that can carry an underlined letter.
QString textOf(const QObject *object) {
    if (auto *button = qobject_cast<const QAbstractButton *>(object))
        return button->text();
    if (auto *label = qobject_cast<const QLabel *>(object))
        return label->buddy() ? label->text() : QString();
    if (auto *group = qobject_cast<const QGroupBox *>(object))
        return group->title();
    return {};
}

// Each letter of one scope (a window with its menu bar, or one menu) with the texts that claim it.
using Claims = std::map<QString, QStringList>;

void claim(Claims &claims, const QString &text) {
    const QKeySequence letter = QKeySequence::mnemonic(text);
    if (!letter.isEmpty())
        claims[letter.toString()] << QString(text).remove('&');
}

QStringList sharedLetters(const Claims &claims, const QString &scope) {
    QStringList shared;
    for (const auto &[letter, texts] : claims)
        if (texts.size() > 1)
            shared << scope + ": " + letter + " for " + texts.join(", ");
    return shared;
}

QStringList sharedLettersOf(QWidget *window) {
    Claims claims;
    QStringList shared;
    for (QWidget *widget : window->findChildren<QWidget *>())
        if (widget->window() == window && widget->isVisibleTo(window))
            claim(claims, textOf(widget));
    if (auto *bar = window->findChild<QMenuBar *>()) {
        for (QAction *menu : bar->actions()) {
            claim(claims, menu->text());
            Claims items;
            for (QAction *item : menu->menu()->actions())
                claim(items, item->text());
            shared << sharedLetters(items, menu->text());
        }
    }
    return shared << sharedLetters(claims, window->objectName());
}

} // namespace

class WindowTest : public StartedTest {
  protected:
    void SetUp() override {
        StartedTest::SetUp();
        if (HasFatalFailure())
            return;
        DisplayPanel(panelHandle);
        ASSERT_TRUE(QTest::qWaitForWindowActive(window()));
    }
    // The PANEL_ control that holds the keyboard's focus.
    static QString focusedControl() {
        for (QWidget *widget = QApplication::focusWidget(); widget; widget = widget->parentWidget())
            if (widget->objectName().startsWith("PANEL_"))
                return widget->objectName();
        return {};
    }
    static QWidget *openCompare() {
        choose("PANEL_MENUCOMPARE");
        QWidget *compare = topLevel("COMPARE");
        EXPECT_TRUE(compare && QTest::qWaitForWindowExposed(compare));
        return compare;
    }
    static void expectOverThePanel(QWidget *secondary) {
        const QRect panel = window()->frameGeometry();
        const QRect shown = secondary->geometry();
        const QRect screen = secondary->screen()->availableGeometry();
        const std::string where = secondary->objectName().toStdString() + " at " + rectText(shown) +
                                  ", the panel at " + rectText(panel) + ", the screen at " +
                                  rectText(screen);
        EXPECT_TRUE(panel.contains(shown.center())) << where;
        EXPECT_TRUE(screen.contains(shown)) << where;
    }
    // Esc closes the window, and its size and place are kept for the next time.
    static void expectEscapeClosesAndKeepsThePlace(QWidget *secondary, const char *name) {
        secondary->resize(secondary->size() + QSize(10, 10));
        const QSize left = secondary->size();
        QTest::keyClick(secondary, Qt::Key_Escape);
        EXPECT_FALSE(secondary->isVisible()) << name;
        QWidget again;
        again.restoreGeometry(
            QSettings("kelvaro", "kelvaro").value(QStringLiteral("windows/") + name).toByteArray());
        EXPECT_EQ(again.size(), left) << name;
    }
};

TEST_F(WindowTest, TheKeyboardStartsOnPowerGoesInReadingOrderAndSendsWithAltN) {
    EXPECT_EQ(focusedControl(), "PANEL_POWER");
    const QStringList readingOrder = {
        "PANEL_POWER",           "PANEL_REFERENCE",   "PANEL_TOLERANCE",      "PANEL_HYSTERESIS",
        "PANEL_POLARITY",        "PANEL_HOLD",        "PANEL_HWMODE",         "PANEL_AVERAGE",
        "PANEL_EVALMODE",        "PANEL_MAXMODE",     "PANEL_TRIGLVL",        "PANEL_TRIGMODE",
        "PANEL_SDELAY",          "PANEL_RBTRAM",      "PANEL_RBTEEPROM",      "PANEL_RBTFILE",
        "PANEL_BUTTONTEACH",     "PANEL_BUTTONRESET", "PANEL_BTNGET",         "PANEL_BTNSEND",
        "PANEL_TOGBUTTONPARAII", "PANEL_DROPDCOM",    "PANEL_RNGGRAPHSOURCE", "PANEL_BTNRUN",
        "PANEL_TOGRECORD",       "PANEL_BTNSTOP"};
    QStringList visited = {focusedControl()};
    while (visited.size() < readingOrder.size()) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << focusedControl();
    }
    EXPECT_EQ(visited, readingOrder);

    sim.clearRequests();
    QTest::keyClick(window(), Qt::Key_N, Qt::AltModifier);
    EXPECT_TRUE(waitFor([this] { return !requestsOf({ORDER_WRITE_RAM}).empty(); }, 2.0));
    EXPECT_EQ(requestsOf({ORDER_WRITE_RAM}).size(), 1u);
    EXPECT_TRUE(statusHistory.contains("Transmit...")) << "as the mouse's press says it";
}

TEST_F(WindowTest, NoUnderlinedLetterBelongsToTwoControlsOfAnyWindow) {
    openCompare();
    ASSERT_EQ(ShowFrameLogWindow(), 0);
    choose("PANEL_MENUMANUAL");
    QStringList shared;
    for (const char *name : {"PANEL", "COMPARE", "FRAMELOG", "MANUAL"}) {
        QWidget *top = topLevel(name);
        ASSERT_NE(top, nullptr) << name;
        shared << sharedLettersOf(top);
    }
    EXPECT_TRUE(shared.isEmpty()) << shared.join('\n').toStdString();
}

TEST_F(WindowTest, F1OpensTheManualOverThePanelAndItNamesEveryControl) {
    QTest::keyClick(window(), Qt::Key_F1);
    QWidget *manual = topLevel("MANUAL");
    ASSERT_TRUE(manual && QTest::qWaitForWindowExposed(manual));
    expectOverThePanel(manual);
    const QString text = manual->findChild<QTextBrowser *>("MANUAL_TEXT")->toPlainText();
    QStringList missing;
    const auto named = [&](QString name) {
        name.remove('&').remove(QStringLiteral("\u2026"));
        if (!name.isEmpty() && !text.contains(name))
            missing << name;
    };
    for (QWidget *widget : window()->findChildren<QWidget *>()) {
        if (widget->window() != window())
            continue;
        if (auto *label = qobject_cast<QLabel *>(widget))
            named(label->text());
        named(textOf(widget));
    }
    for (QAction *item : window()->findChildren<QAction *>())
        named(item->text());
    EXPECT_TRUE(missing.isEmpty()) << missing.join(", ").toStdString();
    EXPECT_TRUE(text.contains("Timeout RS232-Line!")) << "and the status texts";

    auto *browser = manual->findChild<QTextBrowser *>("MANUAL_TEXT");
    auto *find = manual->findChild<QLineEdit *>("MANUAL_FIND");
    find->setText("Freeze");
    QTest::keyClick(find, Qt::Key_Return);
    EXPECT_EQ(browser->textCursor().selectedText(), "Freeze");
    find->setText("no such words in the manual");
    QTest::keyClick(find, Qt::Key_Return);
    EXPECT_EQ(manual->findChild<QLabel *>("MANUAL_FOUND")->text(), "not found");
    expectEscapeClosesAndKeepsThePlace(manual, "manual");
}

TEST_F(WindowTest, CompareShowsAllSixteenRowsAndItsTimesOnOneLine) {
    QWidget *compare = openCompare();
    ASSERT_NE(compare, nullptr);
    expectOverThePanel(compare);
    auto *table = compare->findChild<QTableWidget *>("COMPARE_TABLE");
    ASSERT_EQ(table->rowCount(), 16);
    EXPECT_FALSE(table->verticalScrollBar()->isVisible());
    EXPECT_LE(table->columnViewportPosition(3) + table->columnWidth(3), table->viewport()->width())
        << "the File column in sight";
    EXPECT_LE(table->rowViewportPosition(15) + table->rowHeight(15), table->viewport()->height());
    auto *note = compare->findChild<QLabel *>("COMPARE_NOTE_0");
    ASSERT_TRUE(note->text().startsWith("on the panel at ")) << note->text().toStdString();
    EXPECT_LT(note->height(), 2 * note->fontMetrics().lineSpacing()) << "one line";
    expectEscapeClosesAndKeepsThePlace(compare, "compare");
}

TEST_F(WindowTest, TheFrameLogShowsItsColumnsUnderHeadersWithinTheScreen) {
    ASSERT_EQ(ShowFrameLogWindow(), 0);
    QWidget *log = topLevel("FRAMELOG");
    ASSERT_TRUE(log && QTest::qWaitForWindowExposed(log));
    expectOverThePanel(log);
    press("PANEL_BTNGET");
    auto *view = log->findChild<QTableView *>("FRAMELOG_LINES");
    const QAbstractItemModel *lines = view->model();
    const int before = lines->rowCount();
    ASSERT_TRUE(QTest::qWaitFor([&] { return lines->rowCount() >= before + 2; }));
    QStringList headers;
    for (int column = 0; column < view->model()->columnCount(); ++column)
        headers << view->model()->headerData(column, Qt::Horizontal).toString();
    EXPECT_EQ(headers, QStringList({"ms", "Dir", "Bytes", "Meaning", "Hex"}));
    EXPECT_EQ(lines->index(before, 1).data().toString(), "TX");
    EXPECT_EQ(lines->index(before, 3).data().toString().left(8), "READ_RAM");
    EXPECT_TRUE(lines->index(before, 4).data().toString().startsWith("00 55 00 02"));
    EXPECT_LE(view->columnViewportPosition(3) + view->columnWidth(3), view->viewport()->width())
        << "the meaning in sight without scrolling";
    view->selectRow(before);
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    const QStringList copied = QApplication::clipboard()->text().split('\t');
    EXPECT_EQ(copied.mid(1), QStringList({"TX", "36", lines->index(before, 4).data().toString(),
                                          lines->index(before, 3).data().toString()}))
        << "a row is copied as the line it is";
    expectEscapeClosesAndKeepsThePlace(log, "framelog");
}
