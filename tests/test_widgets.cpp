// The platform's display controls driven offscreen as the program drives them: the strip chart,
// LED and XY graph (what they keep, how often they paint, what the picture shows), a frozen
// chart, a control's display written to a picture file, and the frame log window.
#include "program_fixture.h"

#include "chart.h"
#include "filedialog.h"
#include "framelog.h"
#include "led.h"
#include "strip_chart.h"
#include "xy_graph.h"

#include "internal.h"
#include "panel.h"
#include "utility.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSvgRenderer>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <functional>

namespace {

// Stream step k of trace t (from 1) carries 1000 t + k, so every value tells where it came from.
double streamValue(int step, int trace) {
    return 1000.0 * trace + step;
}

// The window of 100 steps that starts at stream step first, traces interleaved.
QVector<double> window(int first, int traces) {
    QVector<double> values;
    for (int step = first; step < first + 100; ++step)
        for (int trace = 1; trace <= traces; ++trace)
            values << streamValue(step, trace);
    return values;
}

void setUpLikeTheProgram(KvStripChart &chart, int traces) {
    ASSERT_EQ(chart.setIntAttribute(ATTR_POINTS_PER_SCREEN, 101), 0);
    ASSERT_EQ(chart.setIntAttribute(ATTR_SCROLL_MODE, VAL_CONTINUOUS), 0);
    ASSERT_EQ(chart.setIntAttribute(ATTR_NUM_TRACES, traces), 0);
}

QImage rendered(QWidget &widget) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    widget.render(&image);
    return image;
}

bool near(QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) < 40 && std::abs(qGreen(a) - qGreen(b)) < 40 &&
           std::abs(qBlue(a) - qBlue(b)) < 40;
}

// The columns of the pixels near colour; empty when there are none.
QVector<int> columnsOf(const QImage &image, QRgb colour) {
    QVector<int> columns;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (near(image.pixel(x, y), colour))
                columns << x;
    return columns;
}

// Waits for the next paint, up to a generous limit; false when none came.
bool waitForPaint(const KvStripChart &chart) {
    const int before = chart.paintCount();
    QElapsedTimer waited;
    waited.start();
    while (chart.paintCount() == before && waited.elapsed() < 5000)
        QTest::qWait(5);
    return chart.paintCount() > before;
}

} // namespace

TEST(StripChart, TheWholeWindowOnEveryPlotLeavesTheLastScreenInOrderPlacedByTheScrollMode) {
    KvStripChart chart;
    setUpLikeTheProgram(chart, 4);
    chart.append(window(0, 4));
    setUpLikeTheProgram(chart, 4);
    chart.append(window(1, 4));
    for (int trace = 1; trace <= 4; ++trace) {
        QVector<double> expected{streamValue(99, trace)};
        for (int step = 1; step <= 100; ++step)
            expected << streamValue(step, trace);
        EXPECT_EQ(chart.points(trace), expected) << trace;
    }

    // The scroll modes place the same points differently.
    chart.setIntAttribute(ATTR_NUM_TRACES, 1);
    ASSERT_EQ(chart.setIntAttribute(ATTR_POINTS_PER_SCREEN, 5), 0);
    chart.append({1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(chart.pointsLeftToRight(1), (QVector<double>{3, 4, 5, 6, 7})) << "continuous";

    ASSERT_EQ(chart.setIntAttribute(ATTR_SCROLL_MODE, VAL_SWEEP), 0);
    EXPECT_EQ(chart.points(1), (QVector<double>{3, 4, 5, 6, 7}));
    EXPECT_EQ(chart.pointsLeftToRight(1), (QVector<double>{6, 7, 3, 4, 5}));
    chart.append({8, 9, 10});
    EXPECT_EQ(chart.pointsLeftToRight(1), (QVector<double>{6, 7, 8, 9, 10}));

    ASSERT_EQ(chart.setIntAttribute(ATTR_SCROLL_MODE, VAL_BLOCK), 0);
    chart.append({11});
    EXPECT_EQ(chart.pointsLeftToRight(1), (QVector<double>{11}));
    chart.append({12, 13, 14, 15, 16, 17});
    EXPECT_EQ(chart.points(1), (QVector<double>{16, 17}));
}

TEST(StripChart, RapidAppendsRepaintAtMostOncePerFrame) {
    KvStripChart chart;
    chart.resize(400, 300);
    chart.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chart));
    setUpLikeTheProgram(chart, 4);
    chart.append(window(0, 4));
    ASSERT_TRUE(waitForPaint(chart));

    const int before = chart.paintCount();
    for (int plot = 1; plot <= 500; ++plot)
        chart.append(window(plot, 4));
    EXPECT_EQ(chart.paintCount(), before);
    ASSERT_TRUE(waitForPaint(chart));
    QTest::qWait(3 * chart.frameInterval());
    EXPECT_LE(chart.paintCount() - before, 2);

    // Data arriving while the loop runs: paints are bounded by the frames that passed.
    const int start = chart.paintCount();
    QElapsedTimer elapsed;
    elapsed.start();
    for (int plot = 0; elapsed.elapsed() < 300; ++plot) {
        chart.append(window(plot, 4));
        QCoreApplication::processEvents();
    }
    EXPECT_LE(chart.paintCount() - start, elapsed.elapsed() / chart.frameInterval() + 2);
}

TEST(StripChart, ANewStepScrollsThePictureAndItEqualsOneDrawnWhole) {
    QWidget top;
    KvStripChart chart(&top);
    chart.resize(560, 320);
    chart.setYMax(4000);
    setUpLikeTheProgram(chart, 2);
    top.resize(560, 320);
    top.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&top));
    // A window handed over whole each time, one step on from the last, as the program plots.
    for (int first = 0; first < 12; ++first) {
        QVector<double> values = window(first, 2);
        for (int i = 0; i < values.size(); i += 2)
            values[i + 1] = 1500 + 900 * std::sin((first + i / 2) * 0.3);
        chart.append(values);
        ASSERT_TRUE(waitForPaint(chart));
    }
    const QImage onScreen =
        top.screen()->grabWindow(top.winId()).toImage().convertToFormat(QImage::Format_RGB32);
    const QImage whole = chart.grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(onScreen.size(), whole.size());
    int differing = 0;
    for (int y = 0; y < whole.height(); ++y)
        for (int x = 0; x < whole.width(); ++x)
            differing += !near(onScreen.pixel(x, y), whole.pixel(x, y));
    EXPECT_LT(differing, 20) << "the scrolled picture is the one a whole paint draws";
}

// A trace from 500 to 2500 on a range up to 1000 leaves it halfway: it is drawn up to there, not
// along the edge after; a trace above the range is not drawn at all.
TEST(StripChart, TracesAreDrawnInTheirColourAndCutAtThePlotEdges) {
    KvStripChart chart;
    chart.resize(400, 300);
    chart.setYMax(1000);
    ASSERT_EQ(chart.setIntAttribute(ATTR_POINTS_PER_SCREEN, 101), 0);
    ASSERT_EQ(chart.setIntAttribute(ATTR_NUM_TRACES, 3), 0);
    chart.setTraceColour(1, 0xFF0000);
    chart.setTraceColour(2, 0x0000FF);
    chart.setTraceColour(3, 0x00C000);
    QVector<double> values;
    for (int step = 0; step <= 100; ++step)
        values << 500 << 20.0 * step << 5000;
    chart.append(values);
    const QImage image = rendered(chart);

    EXPECT_GT(columnsOf(image, 0xFF0000).size(), 200);
    const QVector<int> rising = columnsOf(image, 0x0000FF);
    ASSERT_GT(rising.size(), 100);
    EXPECT_LT(*std::max_element(rising.begin(), rising.end()), image.width() * 0.6);
    EXPECT_TRUE(columnsOf(image, 0x00C000).isEmpty());
}

TEST(XYGraph, PlotsAreDrawnInTheirColourAndCutAtTheAxisRange) {
    KvXYGraph graph;
    graph.resize(400, 300);
    ASSERT_EQ(graph.setAxisScaling(VAL_LEFT_YAXIS, VAL_MANUAL, 0, 1000), 0);
    KvXYGraph::Plot rising;
    KvXYGraph::Plot above;
    for (int i = 0; i <= 100; ++i) {
        rising.x << i;
        rising.y << 20.0 * i;
        above.x << i;
        above.y << 2560;
    }
    rising.plotStyle = VAL_FAT_LINE;
    rising.colour = 0xFF0000;
    above.colour = 0x0000FF;
    ASSERT_GT(graph.addPlot(rising), 0);
    ASSERT_GT(graph.addPlot(above), 0);
    const QImage image = rendered(graph);

    const QVector<int> red = columnsOf(image, 0xFF0000);
    ASSERT_GT(red.size(), 100);
    EXPECT_LT(*std::max_element(red.begin(), red.end()), image.width() * 0.6);
    EXPECT_TRUE(columnsOf(image, 0x0000FF).isEmpty());
}

TEST(Led, LitAndDarkDifferInBrightnessAndInWhatAssistiveToolsRead) {
    KvLed led;
    led.resize(led.sizeHint());
    const QImage dark = rendered(led);
    EXPECT_EQ(led.accessibleDescription(), "off");

    led.setValue(7);
    EXPECT_EQ(led.value(), 1);
    EXPECT_EQ(led.accessibleDescription(), "on");
    const QRect centre(8, 8, 8, 8);
    double lighter = 0;
    const QImage lit = rendered(led);
    for (int y = centre.top(); y <= centre.bottom(); ++y)
        for (int x = centre.left(); x <= centre.right(); ++x)
            lighter += QColor(lit.pixel(x, y)).lightness() - QColor(dark.pixel(x, y)).lightness();
    EXPECT_GT(lighter / 64, 80);

    led.setValue(0);
    EXPECT_EQ(led.accessibleDescription(), "off");
    EXPECT_EQ(rendered(led), dark);
}

namespace {

const int CHART = 2;

// The mean row of the red trace's pixels, from the top; -1 when it is not drawn.
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

// A panel with a strip chart of one red trace from 0 to 1000, 50 points a screen.
class DataOut : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        panel = LoadForm(dir, FormItem("KvStripChart", "PANEL_CHART", CHART));
        ASSERT_GT(panel, 0) << LastPanelError();
        chart = qobject_cast<KvStripChart *>(PanelControlWidget(panel, CHART));
        // Laid out now, so that no later layout pass changes the chart's size between renders.
        chart->window()->resize(400, 700);
        chart->window()->layout()->activate();
        ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_POINTS_PER_SCREEN, 50), 0);
        chart->setYMax(1000);
        chart->setTraceColour(1, 0xFF0000);
    }
    void TearDown() override { DiscardPanel(panel); }

    void plot(double value, int count) {
        const QVector<double> values(count, value);
        ASSERT_EQ(PlotStripChart(panel, CHART, values.constData(), count, 0, 0, VAL_DOUBLE), 0);
    }
    // Saves the chart's display as the file of that name in dir, at its size or the one given.
    int save(const QString &name, int height = -1, int width = -1) {
        return SaveCtrlDisplayToFile(panel, CHART, 1, height, width,
                                     dir.filePath(name).toLocal8Bit().constData());
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
    ASSERT_EQ(save("frozen.png"), 0);
    EXPECT_EQ(QImage(dir.filePath("frozen.png")).convertToFormat(QImage::Format_ARGB32), before);

    ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_CHART_FROZEN, 0), 0);
    chart->setYMax(1000);
    const double shownRow = traceRow(rendered(*chart));
    EXPECT_GT(shownRow, 0);
    EXPECT_LT(shownRow, chart->height() / 2);
}

TEST_F(DataOut, APngOrSvgOfAControlIsItsPictureAtItsOwnSizeOrTheOneAskedFor) {
    plot(200, 50);
    const double row = traceRow(rendered(*chart));
    const QString png = dir.filePath("chart.PNG");
    ASSERT_EQ(save("chart.PNG"), 0);
    EXPECT_EQ(QImage(png).convertToFormat(QImage::Format_ARGB32), rendered(*chart));
    ASSERT_EQ(save("chart.PNG", 150, 200), 0);
    EXPECT_EQ(QImage(png).size(), QSize(200, 150));
    EXPECT_NEAR(traceRow(QImage(png)), row * 150 / chart->height(), 2);

    ASSERT_EQ(save("chart.Svg"), 0);
    QSvgRenderer svg(dir.filePath("chart.Svg"));
    ASSERT_TRUE(svg.isValid());
    EXPECT_EQ(svg.viewBox(), chart->rect());
    QImage drawn(chart->size(), QImage::Format_ARGB32);
    drawn.fill(Qt::white);
    QPainter painter(&drawn);
    svg.render(&painter);
    painter.end();
    EXPECT_NEAR(traceRow(drawn), row, 2);
}

TEST_F(DataOut, SavingADisplayFailsCleanly) {
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

template <typename T = QPushButton> T *logControl(const char *name) {
    return frameLog()->findChild<T *>(QLatin1String(name));
}

// The lines the table shows, as they were given: a line of one field is all meaning.
QStringList shownLines() {
    const QAbstractItemModel *table = logControl<QTableView>("FRAMELOG_LINES")->model();
    QStringList lines;
    for (int row = 0; row < table->rowCount(); ++row) {
        QStringList fields;
        for (int column : {0, 1, 2, 4, 3})
            fields << table->index(row, column).data().toString();
        lines << (fields[1].isEmpty() ? fields[4] : fields.join('\t'));
    }
    return lines;
}

// The window, made by whichever test comes first, starts each test hidden, empty and running.
class FrameLog : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!frameLog())
            return;
        logControl("FRAMELOG_PAUSE")->setChecked(false);
        logControl("FRAMELOG_CLEAR")->click();
        frameLog()->close();
    }
    static void show() {
        ASSERT_EQ(ShowFrameLogWindow(), 0);
        ASSERT_TRUE(QTest::qWaitForWindowActive(frameLog()));
    }
    // Types the button's mnemonic as the operator would; the click comes once it is up again.
    static void type(Qt::Key letter, const char *button) {
        QPushButton *pressed = logControl(button);
        QTest::keyClick(QApplication::focusWidget(), letter, Qt::AltModifier);
        ASSERT_TRUE(pressed->isDown()) << button;
        ASSERT_TRUE(QTest::qWaitFor([pressed] { return !pressed->isDown(); }));
    }
    // Types Alt+S with the dialog's answer queued.
    static void save(int answer, const QString &path) {
        QueueFileSelectAnswer(answer, path.toLocal8Bit().constData());
        type(Qt::Key_S, "FRAMELOG_SAVE");
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
    ASSERT_TRUE(logControl("FRAMELOG_PAUSE")->isChecked());
    AppendFrameLogLine("b");
    QTest::qWait(500);
    EXPECT_EQ(shownLines(), QStringList({"a"}));
    type(Qt::Key_P, "FRAMELOG_PAUSE");
    EXPECT_TRUE(QTest::qWaitFor([] { return shownLines() == QStringList({"a", "b"}); }));

    type(Qt::Key_C, "FRAMELOG_CLEAR");
    EXPECT_EQ(shownLines(), QStringList());
    AppendFrameLogLine("c");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(frameLog()->isVisible());
    AppendFrameLogLine("d");
    show();
    EXPECT_EQ(shownLines(), QStringList({"c", "d"}));
}

TEST_F(FrameLog, SaveWritesEveryKeptLineReplacesOnlyWithLeaveAndSaysWhenItCannot) {
    QTemporaryDir dir;
    const QString path = dir.filePath("frames.log");
    show();
    AppendFrameLogLine("one");
    type(Qt::Key_P, "FRAMELOG_PAUSE");
    AppendFrameLogLine("two");
    save(VAL_NEW_FILE_SELECTED, path);
    EXPECT_EQ(ReadFile(path), "one\ntwo\n");
    char project[MAX_PATHNAME_LEN];
    ASSERT_EQ(GetProjectDir(project), 0);
    EXPECT_STREQ(LastFileSelectRequest()->defaultDirectory, project);

    AppendFrameLogLine("three");
    QueueConfirmAnswer(0);
    save(VAL_EXISTING_FILE_SELECTED, path);
    EXPECT_EQ(ReadFile(path), "one\ntwo\n");

    save(VAL_NEW_FILE_SELECTED, dir.filePath("missing/frames.log"));
    const QString said = logControl<QLabel>("FRAMELOG_STATUS")->text();
    EXPECT_TRUE(said.contains("not saved") && said.contains(dir.filePath("missing/frames.log")))
        << said.toStdString();
}
