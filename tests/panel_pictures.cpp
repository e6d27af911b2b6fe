// Renews the documentation's pictures, offscreen against the simulator: the panel during a live
// run (docs/live-monitor.png), the same with its parts numbered for the manual
// (docs/panel-parts.png), and the manual window (docs/manual-window.png). Run by
// scripts/screenshot.
#include "program_fixture.h"

#include "manual.h"
#include "utility.h"

#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QTest>
#include <QTextBrowser>

#include <vector>

using namespace kelvaro;

namespace {

const QSize PANEL_SIZE(1260, 720);
const QSize MANUAL_SIZE(980, 760);
const int MANUAL_PICTURE_WIDTH = 840;
const double SECONDS_OF_RUN = 6.0;
const QColor MARK_COLOUR(230, 81, 0);
const int BADGE_RADIUS = 13;

enum BadgePlace { INSIDE, RIGHT, ABOVE };

// A part of the panel, outlined and numbered in the picture.
struct Part {
    QRect area;
    BadgePlace place = INSIDE;
};

QRect areaOf(QWidget *window, const char *name) {
    auto *widget = window->findChild<QWidget *>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget ? QRect(widget->mapTo(window, QPoint()), widget->size()) : QRect();
}

QRect areaOf(QWidget *window, std::initializer_list<const char *> names) {
    QRect united;
    for (const char *name : names)
        united = united.united(areaOf(window, name));
    return united;
}

// The title, a text message the program made at start.
QRect titleArea(QWidget *window) {
    for (QLabel *label : window->findChildren<QLabel *>())
        if (label->objectName().startsWith(QLatin1String("TEXTMSG_")))
            return QRect(label->mapTo(window, QPoint()), label->size());
    ADD_FAILURE() << "no title";
    return {};
}

QImage numbered(QWidget *window, const std::vector<Part> &parts) {
    QImage picture = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(BADGE_RADIUS + 3);
    painter.setFont(font);
    for (size_t i = 0; i < parts.size(); ++i) {
        const QRect area = parts[i].area.adjusted(-2, -2, 2, 2);
        painter.setPen(QPen(MARK_COLOUR, 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(area, 4, 4);
        QRect badge(0, 0, 2 * BADGE_RADIUS, 2 * BADGE_RADIUS);
        if (parts[i].place == RIGHT)
            badge.moveTopLeft(QPoint(area.right() + 6, area.center().y() - BADGE_RADIUS));
        else if (parts[i].place == ABOVE)
            badge.moveTopLeft(
                QPoint(area.right() - 2 * BADGE_RADIUS, area.top() - 2 * BADGE_RADIUS));
        else
            badge.moveTopLeft(
                QPoint(area.right() - 2 * BADGE_RADIUS, area.top() - BADGE_RADIUS / 2));
        painter.setPen(Qt::NoPen);
        painter.setBrush(MARK_COLOUR);
        painter.drawEllipse(badge);
        painter.setPen(Qt::white);
        painter.drawText(badge, Qt::AlignCenter, QString::number(i + 1));
    }
    return picture;
}

} // namespace

class Pictures : public StartedTest {};

TEST_F(Pictures, Renew) {
    const QString folder = qEnvironmentVariable("KELVARO_PICTURES");
    ASSERT_FALSE(folder.isEmpty()) << "name the folder in $KELVARO_PICTURES";
    QWidget *panel = window();
    panel->resize(PANEL_SIZE);
    DisplayPanel(panelHandle);
    const double start = Timer();
    runUntil([&] {
        if (Timer() - start < SECONDS_OF_RUN)
            return false;
        EXPECT_TRUE(panel->grab().save(folder + "/live-monitor.png"));
        auto *bar = panel->findChild<QMenuBar *>();
        const QRect menus = bar->actionGeometry(bar->actions().last());
        const std::vector<Part> parts = {
            {QRect(bar->mapTo(panel, QPoint()), QSize(menus.right() + 4, bar->height())), RIGHT},
            {titleArea(panel), RIGHT},
            {areaOf(panel, "groupConnection")},
            {areaOf(panel, "groupParameters")},
            {areaOf(panel, "groupTarget")},
            {areaOf(panel, "groupCommands")},
            {areaOf(panel, {"PANEL_RNGGRAPHSOURCE", "PANEL_TOGFREEZE"}), ABOVE},
            {areaOf(panel, {"PANEL_REFLED", "PANEL_TOLLED"}), ABOVE},
            {areaOf(panel, "PANEL_NORMCHART")},
            {areaOf(panel, "groupLive")},
            {areaOf(panel, "PANEL_STATUS")},
        };
        // At the manual's width already: the manual window scales pictures roughly.
        EXPECT_TRUE(numbered(panel, parts)
                        .scaledToWidth(MANUAL_PICTURE_WIDTH, Qt::SmoothTransformation)
                        .save(folder + "/panel-parts.png"));
        press("PANEL_BTNSTOP");
        return true;
    });

    ASSERT_EQ(ShowManualWindow(), 0);
    QWidget *manual = nullptr;
    for (QWidget *top : QApplication::topLevelWidgets())
        if (top->objectName() == QLatin1String("MANUAL"))
            manual = top;
    ASSERT_NE(manual, nullptr);
    manual->resize(MANUAL_SIZE);
    QTest::qWait(200);
    // The guide's picture of the panel, its parts numbered.
    manual->findChild<QTextBrowser *>("MANUAL_TEXT")->scrollToAnchor("panel");
    QTest::qWait(200);
    EXPECT_TRUE(manual->grab().save(folder + "/manual-window.png"));
}
