// The strip chart, LED and XY graph controls: what they keep, how often they paint, and what
// the picture shows.
#include "chart.h"
#include "led.h"
#include "strip_chart.h"
#include "xy_graph.h"

#include <QElapsedTimer>
#include <QImage>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

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

TEST(StripChart, TheWholeWindowOnEveryPlotLeavesTheLastScreenOfEachTraceInOrder) {
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
}

TEST(StripChart, ScrollModesPlaceTheSamePointsDifferently) {
    KvStripChart chart;
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
