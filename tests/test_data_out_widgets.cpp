// The platform's ways out for data: a frozen strip chart, a control's display written to a
// picture file and the frame log window, each driven offscreen as the program drives them.
#include "program_fixture.h"

#include "chart.h"
#include "filedialog.h"
#include "framelog.h"
#include "strip_chart.h"

#include "internal.h"
#include "panel.h"
#include "utility.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const int CHART = 2;
const int GRAPH = 3;
const int BUTTON = 4;
const QRgb TRACE = 0xFF0000;

QImage rendered(QWidget &widget) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    widget.render(&image);
    return image;
}

// The mean row of the trace's pixels, from the top; -1 when it is not drawn.
double traceRow(const QImage &image) {
    double sum = 0;
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (const QRgb pixel = image.pixel(x, y);
                qRed(pixel) > 200 && qGreen(pixel) < 80 && qBlue(pixel) < 80) {
                sum += y;
                ++count;
            }
    return count ? sum / count : -1;
}

// A panel with a strip chart of one red trace from 0 to 1000, 50 points a screen, an XY graph
// and a button.
class DataOut : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        const QString form =
            WriteForm(dir.path(), FormItem("KvStripChart", "PANEL_CHART", CHART,
                                           R"(<property name="yMax"><double>1000</double>)"
                                           R"(</property>)") +
                                      FormItem("KvXYGraph", "PANEL_GRAPH", GRAPH) +
                                      FormItem("QPushButton", "PANEL_BUTTON", BUTTON));
        panel = LoadPanel(0, form.toLocal8Bit().constData(), 1);
        ASSERT_GT(panel, 0) << LastPanelError();
        chart = qobject_cast<KvStripChart *>(PanelControlWidget(panel, CHART));
        ASSERT_TRUE(chart);
        // Laid out now, so that no later layout pass changes the chart's size between renders.
        chart->window()->resize(400, 700);
        chart->window()->layout()->activate();
        ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_POINTS_PER_SCREEN, 50), 0);
        chart->setTraceColour(1, TRACE);
    }
    void TearDown() override { DiscardPanel(panel); }

    void plot(double value, int count) {
        const QVector<double> values(count, value);
        ASSERT_EQ(PlotStripChart(panel, CHART, values.constData(), count, 0, 0, VAL_DOUBLE), 0);
    }

    QTemporaryDir dir;
    int panel = 0;
    KvStripChart *chart = nullptr;
};

} // namespace

TEST_F(DataOut, AFrozenChartKeepsItsPictureAndDoesNotRepaintWhileTheDataGoOn) {
    chart->window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(chart->window()));
    plot(200, 50);
    const QImage before = rendered(*chart);
    ASSERT_GT(traceRow(before), chart->height() / 2);

    ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_CHART_FROZEN, 1), 0);
    QTest::qWait(5 * chart->frameInterval());
    const int paints = chart->paintCount();
    for (int i = 0; i < 30; ++i) {
        plot(800, 1);
        QCoreApplication::processEvents();
    }
    QTest::qWait(5 * chart->frameInterval());
    EXPECT_EQ(chart->paintCount(), paints);
    EXPECT_EQ(chart->points(1).size(), 50);
    EXPECT_EQ(chart->points(1).last(), 800);
    // Settings made while frozen belong to the present data, not to the held picture.
    ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_SCROLL_MODE, VAL_SWEEP), 0);
    chart->setYMax(2000);
    EXPECT_EQ(rendered(*chart), before);
    const QString path = dir.filePath("frozen.png");
    ASSERT_EQ(SaveCtrlDisplayToFile(panel, CHART, 1, -1, -1, path.toLocal8Bit().constData()), 0);
    EXPECT_EQ(QImage(path).convertToFormat(QImage::Format_ARGB32), before);

    ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_CHART_FROZEN, 0), 0);
    chart->setYMax(1000);
    const double shownRow = traceRow(rendered(*chart));
    EXPECT_GT(shownRow, 0);
    EXPECT_LT(shownRow, chart->height() / 2);
}

TEST_F(DataOut, AnyControlIsSavedAsAPngOrSvgOfItsPictureAtItsOwnSizeOrTheOneAskedFor) {
    plot(200, 50);
    const double row = traceRow(rendered(*chart));
    const QString path = dir.filePath("chart.PNG");
    ASSERT_EQ(SaveCtrlDisplayToFile(panel, CHART, 1, -1, -1, path.toLocal8Bit().constData()), 0);
    EXPECT_EQ(QImage(path).convertToFormat(QImage::Format_ARGB32), rendered(*chart));
    ASSERT_EQ(SaveCtrlDisplayToFile(panel, CHART, 0, 150, 200, path.toLocal8Bit().constData()), 0);
    EXPECT_EQ(QImage(path).size(), QSize(200, 150));
    EXPECT_NEAR(traceRow(QImage(path)), row * 150 / chart->height(), 2);

    const QString svg = dir.filePath("chart.Svg");
    ASSERT_EQ(SaveCtrlDisplayToFile(panel, CHART, 1, -1, -1, svg.toLocal8Bit().constData()), 0);
    QSvgRenderer picture(svg);
    ASSERT_TRUE(picture.isValid());
    QImage drawn(chart->size(), QImage::Format_ARGB32);
    drawn.fill(Qt::white);
    QPainter painter(&drawn);
    picture.render(&painter);
    painter.end();
    EXPECT_NEAR(traceRow(drawn), row, 2);

    for (int control : {CHART, GRAPH, BUTTON}) {
        const QWidget *widget = PanelControlWidget(panel, control);
        for (const char *format : {"png", "svg"}) {
            const QString file = dir.filePath(QString("%1.%2").arg(control).arg(format));
            ASSERT_EQ(
                SaveCtrlDisplayToFile(panel, control, 1, -1, -1, file.toLocal8Bit().constData()),
                0);
            EXPECT_EQ(format[0] == 'p' ? QImage(file).rect() : QSvgRenderer(file).viewBox(),
                      widget->rect())
                << control << format;
        }
    }
}

TEST_F(DataOut, SavingADisplayFailsCleanly) {
    const auto save = [&](const QString &file, int height = -1) {
        return SaveCtrlDisplayToFile(panel, CHART, 1, height, -1,
                                     dir.filePath(file).toLocal8Bit().constData());
    };
    EXPECT_EQ(save("chart.jpg"), UIE_VALUE_TYPE);
    EXPECT_EQ(save("chart"), UIE_VALUE_TYPE);
    EXPECT_EQ(save("chart.png", 0), UIE_VALUE_TYPE);
    EXPECT_EQ(save("missing/chart.png"), UIE_FILE_WRITE);
    ASSERT_TRUE(QDir(dir.path()).mkdir("taken.svg"));
    EXPECT_EQ(save("taken.svg"), UIE_FILE_WRITE);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList({"form.uir", "taken.svg"}));
}

namespace {

QWidget *frameLog() {
    for (QWidget *top : QApplication::topLevelWidgets())
        if (top->objectName() == QLatin1String("FRAMELOG"))
            return top;
    return nullptr;
}

template <typename T> T *logControl(const char *name) {
    return frameLog()->findChild<T *>(QLatin1String(name));
}

QStringList shownLines() {
    const QString text = logControl<QPlainTextEdit>("FRAMELOG_LINES")->toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
}

// True once the view shows exactly lines: it follows within a fraction of a second.
bool shows(const QStringList &lines) {
    return QTest::qWaitFor([&] { return shownLines() == lines; });
}

// The window, made by whichever test comes first, starts each test hidden, empty and running.
class FrameLog : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!frameLog())
            return;
        logControl<QPushButton>("FRAMELOG_PAUSE")->setChecked(false);
        logControl<QPushButton>("FRAMELOG_CLEAR")->click();
        frameLog()->close();
    }
    static void show() {
        ASSERT_EQ(ShowFrameLogWindow(), 0);
        ASSERT_TRUE(QTest::qWaitForWindowActive(frameLog()));
    }
    // Types the button's mnemonic as the operator would; the click comes once it is up again.
    static void type(Qt::Key letter, const char *button) {
        QPushButton *pressed = logControl<QPushButton>(button);
        QTest::keyClick(QApplication::focusWidget(), letter, Qt::AltModifier);
        ASSERT_TRUE(pressed->isDown()) << button;
        ASSERT_TRUE(QTest::qWaitFor([pressed] { return !pressed->isDown(); }));
    }
};

} // namespace

TEST_F(FrameLog, OnlyTheNewestLinesAreKeptAndShownOnceTheWindowOpens) {
    EXPECT_EQ(FrameLogWindowWanted(), frameLog() ? 1 : 0);
    for (int i = 0; i < FRAME_LOG_LINES + 50; ++i)
        AppendFrameLogLine(QByteArray::number(i).constData());
    show();
    EXPECT_EQ(FrameLogWindowWanted(), 1);
    QStringList lines = shownLines();
    ASSERT_EQ(lines.size(), FRAME_LOG_LINES);
    EXPECT_EQ(lines.first(), "50");
    EXPECT_EQ(lines.last(), QString::number(FRAME_LOG_LINES + 49));

    AppendFrameLogLine("next");
    ASSERT_TRUE(QTest::qWaitFor([] { return shownLines().last() == "next"; }));
    lines = shownLines();
    EXPECT_EQ(lines.size(), FRAME_LOG_LINES);
    EXPECT_EQ(lines.first(), "51");
}

TEST_F(FrameLog, PauseHoldsTheViewClearEmptiesItAndEscapeHidesIt) {
    show();
    AppendFrameLogLine("a");
    type(Qt::Key_P, "FRAMELOG_PAUSE");
    ASSERT_TRUE(logControl<QPushButton>("FRAMELOG_PAUSE")->isChecked());
    EXPECT_EQ(shownLines(), QStringList({"a"}));
    AppendFrameLogLine("b");
    QTest::qWait(500);
    EXPECT_EQ(shownLines(), QStringList({"a"}));
    type(Qt::Key_P, "FRAMELOG_PAUSE");
    EXPECT_TRUE(shows({"a", "b"}));

    type(Qt::Key_C, "FRAMELOG_CLEAR");
    EXPECT_EQ(shownLines(), QStringList());
    AppendFrameLogLine("c");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(frameLog()->isVisible());
    AppendFrameLogLine("d");
    show();
    EXPECT_EQ(shownLines(), QStringList({"c", "d"}));
}

TEST_F(FrameLog, SaveWritesEveryKeptLineAndSaysWhenItCannot) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("frames.log");
    show();
    AppendFrameLogLine("one");
    type(Qt::Key_P, "FRAMELOG_PAUSE");
    AppendFrameLogLine("two");
    QueueFileSelectAnswer(VAL_NEW_FILE_SELECTED, path.toLocal8Bit().constData());
    type(Qt::Key_S, "FRAMELOG_SAVE");
    EXPECT_EQ(ReadFile(path), "one\ntwo\n");
    char project[MAX_PATHNAME_LEN];
    ASSERT_EQ(GetProjectDir(project), 0);
    EXPECT_STREQ(LastFileSelectRequest()->defaultDirectory, project);

    // An existing file is replaced only with the operator's leave.
    AppendFrameLogLine("three");
    QueueFileSelectAnswer(VAL_EXISTING_FILE_SELECTED, path.toLocal8Bit().constData());
    QueueConfirmAnswer(0);
    type(Qt::Key_S, "FRAMELOG_SAVE");
    EXPECT_EQ(ReadFile(path), "one\ntwo\n");

    const QString unwritable = dir.filePath("missing/frames.log");
    QueueFileSelectAnswer(VAL_NEW_FILE_SELECTED, unwritable.toLocal8Bit().constData());
    type(Qt::Key_S, "FRAMELOG_SAVE");
    const QString said = logControl<QLabel>("FRAMELOG_STATUS")->text();
    EXPECT_TRUE(said.contains("not saved") && said.contains(unwritable)) << said.toStdString();
}
