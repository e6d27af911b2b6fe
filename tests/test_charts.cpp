// The strip chart, LED and XY graph controls, and the chart and graph services on a small form
// and on the program's panel.
#include "program_fixture.h"

#include "chart.h"
#include "graph.h"
#include "led.h"
#include "strip_chart.h"
#include "xy_graph.h"

#include "internal.h"
#include "panel.h"

#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace {

const int CHART = 2;
const int GRAPH = 3;
const int LED = 4;
const int LABEL = 5;

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

double meanLightness(const QImage &image, const QRect &area) {
    double sum = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            sum += QColor(image.pixel(x, y)).lightness();
    return sum / (area.width() * area.height());
}

// Waits for the next paint, up to a generous limit; false when none came.
bool waitForPaint(const std::function<int()> &paintCount) {
    const int before = paintCount();
    QElapsedTimer waited;
    waited.start();
    while (paintCount() == before && waited.elapsed() < 5000)
        QTest::qWait(5);
    return paintCount() > before;
}

} // namespace

TEST(StripChart, TheWholeWindowOnEveryPlotLeavesTheLastScreenOfEachTraceInOrder) {
    KvStripChart chart;
    setUpLikeTheProgram(chart, 4);
    chart.append(window(0, 4));
    for (int trace = 1; trace <= 4; ++trace) {
        const QVector<double> shown = chart.points(trace);
        ASSERT_EQ(shown.size(), 100);
        EXPECT_EQ(shown.first(), streamValue(0, trace));
        EXPECT_EQ(shown.last(), streamValue(99, trace));
    }

    setUpLikeTheProgram(chart, 4);
    chart.append(window(1, 4));
    for (int trace = 1; trace <= 4; ++trace) {
        QVector<double> expected{streamValue(99, trace)};
        for (int step = 1; step <= 100; ++step)
            expected << streamValue(step, trace);
        EXPECT_EQ(chart.points(trace), expected) << trace;
    }
}

TEST(StripChart, OnlyAChangedTraceCountOrScreenWidthClearsTheChart) {
    KvStripChart chart;
    setUpLikeTheProgram(chart, 4);
    chart.append(window(0, 4));
    setUpLikeTheProgram(chart, 4);
    EXPECT_EQ(chart.points(4).size(), 100);

    EXPECT_EQ(chart.setIntAttribute(ATTR_SCROLL_MODE, VAL_SWEEP), 0);
    EXPECT_EQ(chart.points(4).size(), 100);

    EXPECT_EQ(chart.setIntAttribute(ATTR_NUM_TRACES, 2), 0);
    EXPECT_EQ(chart.traceCount(), 2);
    EXPECT_TRUE(chart.points(1).isEmpty());
    EXPECT_TRUE(chart.points(3).isEmpty());

    chart.append(window(0, 2));
    EXPECT_EQ(chart.setIntAttribute(ATTR_POINTS_PER_SCREEN, 50), 0);
    EXPECT_EQ(chart.pointsPerScreen(), 50);
    EXPECT_TRUE(chart.points(1).isEmpty());
}

TEST(StripChart, AttributeValuesOutOfRangeAreRefusedAndChangeNothing) {
    KvStripChart chart;
    setUpLikeTheProgram(chart, 4);
    chart.append(window(0, 4));
    EXPECT_EQ(chart.setIntAttribute(ATTR_NUM_TRACES, 0), UIE_VALUE_TYPE);
    EXPECT_EQ(chart.setIntAttribute(ATTR_NUM_TRACES, 17), UIE_VALUE_TYPE);
    EXPECT_EQ(chart.setIntAttribute(ATTR_POINTS_PER_SCREEN, 1), UIE_VALUE_TYPE);
    EXPECT_EQ(chart.setIntAttribute(ATTR_SCROLL_MODE, 3), UIE_VALUE_TYPE);
    EXPECT_EQ(chart.setIntAttribute(ATTR_YNAME, 1), UIE_ATTRIBUTE);
    EXPECT_EQ(chart.traceCount(), 4);
    EXPECT_EQ(chart.pointsPerScreen(), 101);
    EXPECT_EQ(chart.scrollMode(), VAL_CONTINUOUS);
    EXPECT_EQ(chart.points(1).size(), 100);
    EXPECT_EQ(chart.setIntAttribute(ATTR_NUM_TRACES, 16), 0);
}

TEST(StripChart, ScrollModesPlaceTheSamePointsDifferently) {
    KvStripChart chart;
    ASSERT_EQ(chart.setIntAttribute(ATTR_POINTS_PER_SCREEN, 5), 0);
    chart.append({1, 2, 3});
    EXPECT_EQ(chart.pointsLeftToRight(1), (QVector<double>{1, 2, 3}));
    chart.append({4, 5, 6, 7});
    EXPECT_EQ(chart.points(1), (QVector<double>{3, 4, 5, 6, 7}));
    EXPECT_EQ(chart.pointsLeftToRight(1), (QVector<double>{3, 4, 5, 6, 7}));

    ASSERT_EQ(chart.setIntAttribute(ATTR_SCROLL_MODE, VAL_SWEEP), 0);
    EXPECT_EQ(chart.points(1), (QVector<double>{3, 4, 5, 6, 7}));
    EXPECT_EQ(chart.pointsLeftToRight(1), (QVector<double>{6, 7, 3, 4, 5}));
    chart.append({8, 9, 10});
    EXPECT_EQ(chart.pointsLeftToRight(1), (QVector<double>{6, 7, 8, 9, 10}));

    ASSERT_EQ(chart.setIntAttribute(ATTR_SCROLL_MODE, VAL_BLOCK), 0);
    EXPECT_EQ(chart.points(1), (QVector<double>{6, 7, 8, 9, 10}));
    chart.append({11});
    EXPECT_EQ(chart.points(1), (QVector<double>{11}));
    EXPECT_EQ(chart.pointsLeftToRight(1), (QVector<double>{11}));
    chart.append({12, 13, 14, 15, 16, 17});
    EXPECT_EQ(chart.points(1), (QVector<double>{16, 17}));
}

TEST(StripChart, AManyTimesLongerAppendKeepsTheSweepPositionOfItsLastPoints) {
    KvStripChart chart;
    ASSERT_EQ(chart.setIntAttribute(ATTR_POINTS_PER_SCREEN, 4), 0);
    ASSERT_EQ(chart.setIntAttribute(ATTR_SCROLL_MODE, VAL_SWEEP), 0);
    int asked = 0;
    chart.appendSteps(1000003, [&](qint64 step, int) {
        ++asked;
        return double(step);
    });
    EXPECT_EQ(asked, 4);
    EXPECT_EQ(chart.points(1), (QVector<double>{999999, 1000000, 1000001, 1000002}));
    EXPECT_EQ(chart.pointsLeftToRight(1), (QVector<double>{1000000, 1000001, 1000002, 999999}));
}

TEST(StripChart, TracesStartInDistinctColoursThatCanBeChanged) {
    KvStripChart chart;
    QSet<QRgb> colours;
    for (int trace = 1; trace <= KvStripChart::MAX_TRACES; ++trace)
        colours << chart.traceColour(trace);
    EXPECT_EQ(colours.size(), KvStripChart::MAX_TRACES);
    chart.setTraceColour(2, 0xFF0000);
    EXPECT_EQ(chart.traceColour(2), 0xFF0000u);
    ASSERT_EQ(chart.setIntAttribute(ATTR_NUM_TRACES, 3), 0);
    EXPECT_EQ(chart.traceColour(2), 0xFF0000u);
}

TEST(StripChart, RapidAppendsRepaintAtMostOncePerFrame) {
    KvStripChart chart;
    chart.resize(400, 300);
    chart.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chart));
    setUpLikeTheProgram(chart, 4);
    chart.append(window(0, 4));
    ASSERT_TRUE(waitForPaint([&] { return chart.paintCount(); }));

    const int before = chart.paintCount();
    for (int plot = 1; plot <= 500; ++plot)
        chart.append(window(plot, 4));
    EXPECT_EQ(chart.paintCount(), before);
    ASSERT_TRUE(waitForPaint([&] { return chart.paintCount(); }));
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
    // The rising trace leaves the range halfway and is not drawn along the edge after that.
    const QVector<int> rising = columnsOf(image, 0x0000FF);
    ASSERT_GT(rising.size(), 100);
    EXPECT_LT(*std::max_element(rising.begin(), rising.end()), image.width() * 0.6);
    EXPECT_TRUE(columnsOf(image, 0x00C000).isEmpty());
}

TEST(Led, LitAndDarkDifferInBrightnessAndInWhatAssistiveToolsRead) {
    KvLed led;
    led.resize(led.sizeHint());
    EXPECT_EQ(led.sizeHint(), QSize(24, 24));
    EXPECT_EQ(led.value(), 0);
    EXPECT_EQ(led.accessibleDescription(), "off");
    const QImage dark = rendered(led);

    led.setValue(7);
    EXPECT_EQ(led.value(), 1);
    EXPECT_EQ(led.accessibleDescription(), "on");
    const QImage lit = rendered(led);
    const QRect centre(8, 8, 8, 8);
    EXPECT_GT(meanLightness(lit, centre), meanLightness(dark, centre) + 80);

    led.setValue(0);
    EXPECT_EQ(led.accessibleDescription(), "off");
    EXPECT_EQ(rendered(led), dark);
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

TEST(XYGraph, EveryStyleAndTheAxisNamesDraw) {
    KvXYGraph graph;
    graph.resize(400, 300);
    const QImage empty = rendered(graph);
    EXPECT_EQ(graph.xName(), "sample");
    EXPECT_EQ(graph.setTextAttribute(ATTR_YNAME, "NORM=1000*(A/Amax)"), 0);
    EXPECT_EQ(graph.yName(), "NORM=1000*(A/Amax)");
    EXPECT_NE(rendered(graph), empty);

    const QRgb colours[] = {0xFF0000, 0x00C000, 0x0000FF, 0xFF00FF};
    const int plotStyles[] = {VAL_THIN_LINE, VAL_SCATTER, VAL_CONNECTED_POINTS, VAL_FAT_LINE};
    const int lineStyles[] = {VAL_DASH, VAL_SOLID, VAL_DOT, VAL_SOLID};
    for (int i = 0; i < 4; ++i) {
        KvXYGraph::Plot plot;
        plot.x = {10, 50, 90};
        plot.y = {20.0 + 20 * i, 25.0 + 20 * i, 20.0 + 20 * i};
        plot.plotStyle = plotStyles[i];
        plot.lineStyle = lineStyles[i];
        plot.colour = colours[i];
        ASSERT_GT(graph.addPlot(plot), 0);
    }
    const QImage image = rendered(graph);
    for (QRgb colour : colours)
        EXPECT_FALSE(columnsOf(image, colour).isEmpty()) << std::hex << colour;
}

namespace {

QString writeForm(const QTemporaryDir &dir) {
    const QString path = dir.filePath("charts.uir");
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    const auto item = [](const char *cls, const char *name, int id, const char *extra = "") {
        return QString(R"(<item><widget class="%1" name="%2">%4
<property name="ctrlId" stdset="0"><number>%3</number></property></widget></item>)")
            .arg(cls, name)
            .arg(id)
            .arg(extra);
    };
    file.write(
        R"(<?xml version="1.0" encoding="UTF-8"?><ui version="4.0"><class>T</class>
<widget class="QWidget" name="PANEL"><property name="ctrlId" stdset="0"><number>1</number></property>
<layout class="QVBoxLayout">)" +
        (item("KvStripChart", "PANEL_CHART", CHART,
              R"(<property name="yMax"><double>1000</double></property>)") +
         item("KvXYGraph", "PANEL_GRAPH", GRAPH) +
         item(
             "KvLed", "PANEL_LED", LED,
             R"(<property name="onColor"><color><red>255</red><green>0</green><blue>0</blue></color></property>)") +
         item("QLabel", "PANEL_LABEL", LABEL))
            .toUtf8() +
        "</layout></widget></ui>");
    return path;
}

class ChartService : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        panel = LoadPanel(0, writeForm(dir).toLocal8Bit().constData(), 1);
        ASSERT_GT(panel, 0) << LastPanelError();
        chart = qobject_cast<KvStripChart *>(PanelControlWidget(panel, CHART));
        graph = qobject_cast<KvXYGraph *>(PanelControlWidget(panel, GRAPH));
        led = qobject_cast<KvLed *>(PanelControlWidget(panel, LED));
        ASSERT_TRUE(chart && graph && led);
    }
    void TearDown() override { DiscardPanel(panel); }

    QTemporaryDir dir;
    int panel = 0;
    KvStripChart *chart = nullptr;
    KvXYGraph *graph = nullptr;
    KvLed *led = nullptr;
};

} // namespace

TEST_F(ChartService, TheFormSetsTheChartRangeAndTheLedColour) {
    EXPECT_EQ(chart->yMin(), 0);
    EXPECT_EQ(chart->yMax(), 1000);
    EXPECT_EQ(led->onColor(), QColor(255, 0, 0));
}

TEST_F(ChartService, PlotStripChartAppendsTheProgramsWindowAndTraceColours) {
    ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_POINTS_PER_SCREEN, 101), 0);
    ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_SCROLL_MODE, VAL_CONTINUOUS), 0);
    ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_NUM_TRACES, 4), 0);
    for (int trace = 1; trace <= 3; ++trace)
        EXPECT_EQ(SetTraceAttribute(panel, CHART, trace, ATTR_TRACE_COLOR, 0x000000), 0);
    EXPECT_EQ(SetTraceAttribute(panel, CHART, 4, ATTR_TRACE_COLOR, 0xFF0000), 0);
    const QVector<double> values = window(0, 4);
    EXPECT_EQ(PlotStripChart(panel, CHART, values.constData(), 400, 0, 0, VAL_DOUBLE), 0);

    EXPECT_EQ(chart->points(4).size(), 100);
    EXPECT_EQ(chart->points(4).last(), streamValue(99, 4));
    EXPECT_EQ(chart->traceColour(1), 0x000000u);
    EXPECT_EQ(chart->traceColour(4), 0xFF0000u);
}

TEST_F(ChartService, PlotStripChartReadsEachDataTypeFromStartIndexSkippingBetweenSteps) {
    ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_NUM_TRACES, 2), 0);
    const unsigned short words[] = {9, 1, 65535, 9, 3, 4, 9, 5, 6, 9};
    EXPECT_EQ(PlotStripChart(panel, CHART, words, 6, 1, 1, VAL_UNSIGNED_SHORT_INTEGER), 0);
    EXPECT_EQ(chart->points(1), (QVector<double>{1, 3, 5}));
    EXPECT_EQ(chart->points(2), (QVector<double>{65535, 4, 6}));

    ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_NUM_TRACES, 1), 0);
    const signed char chars[] = {-3};
    const short shorts[] = {-30000};
    const int ints[] = {-2000000000};
    const float floats[] = {1.5f};
    const unsigned int uints[] = {4000000000u};
    const unsigned char bytes[] = {250};
    EXPECT_EQ(PlotStripChart(panel, CHART, chars, 1, 0, 0, VAL_CHAR), 0);
    EXPECT_EQ(PlotStripChart(panel, CHART, shorts, 1, 0, 0, VAL_SHORT_INTEGER), 0);
    EXPECT_EQ(PlotStripChart(panel, CHART, ints, 1, 0, 0, VAL_INTEGER), 0);
    EXPECT_EQ(PlotStripChart(panel, CHART, floats, 1, 0, 0, VAL_FLOAT), 0);
    EXPECT_EQ(PlotStripChart(panel, CHART, uints, 1, 0, 0, VAL_UNSIGNED_INTEGER), 0);
    EXPECT_EQ(PlotStripChart(panel, CHART, bytes, 1, 0, 0, VAL_UNSIGNED_CHAR), 0);
    EXPECT_EQ(chart->points(1), (QVector<double>{-3, -30000, -2000000000, 1.5, 4000000000.0, 250}));
}

TEST_F(ChartService, ChartCallsWithBadArgumentsFailAndAppendNothing) {
    const double values[] = {1, 2, 3};
    EXPECT_EQ(PlotStripChart(panel + 100, CHART, values, 1, 0, 0, VAL_DOUBLE), UIE_PANEL_HANDLE);
    EXPECT_EQ(PlotStripChart(panel, 99, values, 1, 0, 0, VAL_DOUBLE), UIE_CONTROL_ID);
    EXPECT_EQ(PlotStripChart(panel, GRAPH, values, 1, 0, 0, VAL_DOUBLE), UIE_ATTRIBUTE);
    EXPECT_EQ(PlotStripChart(panel, LABEL, values, 1, 0, 0, VAL_DOUBLE), UIE_ATTRIBUTE);
    EXPECT_EQ(PlotStripChart(panel, CHART, nullptr, 1, 0, 0, VAL_DOUBLE), UIE_VALUE_TYPE);
    EXPECT_EQ(PlotStripChart(panel, CHART, values, -1, 0, 0, VAL_DOUBLE), UIE_VALUE_TYPE);
    EXPECT_EQ(PlotStripChart(panel, CHART, values, 1, -1, 0, VAL_DOUBLE), UIE_VALUE_TYPE);
    EXPECT_EQ(PlotStripChart(panel, CHART, values, 1, 0, -1, VAL_DOUBLE), UIE_VALUE_TYPE);
    EXPECT_EQ(PlotStripChart(panel, CHART, values, 1, 0, 0, 5), UIE_VALUE_TYPE);
    ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_NUM_TRACES, 2), 0);
    EXPECT_EQ(PlotStripChart(panel, CHART, values, 3, 0, 0, VAL_DOUBLE), UIE_VALUE_TYPE);
    EXPECT_TRUE(chart->points(1).isEmpty());
    EXPECT_EQ(PlotStripChart(panel, CHART, values, 0, 0, 0, VAL_DOUBLE), 0);

    EXPECT_EQ(SetTraceAttribute(panel, GRAPH, 1, ATTR_TRACE_COLOR, 0), UIE_ATTRIBUTE);
    EXPECT_EQ(SetTraceAttribute(panel, CHART, 1, ATTR_TRACE_COLOR + 1, 0), UIE_ATTRIBUTE);
    EXPECT_EQ(SetTraceAttribute(panel, CHART, 0, ATTR_TRACE_COLOR, 0), UIE_VALUE_TYPE);
    EXPECT_EQ(SetTraceAttribute(panel, CHART, 3, ATTR_TRACE_COLOR, 0), UIE_VALUE_TYPE);
    EXPECT_EQ(SetTraceAttribute(panel, CHART, 1, ATTR_TRACE_COLOR, 0x1000000), UIE_VALUE_TYPE);
    EXPECT_EQ(SetCtrlAttribute(panel, CHART, ATTR_NUM_TRACES, 0), UIE_VALUE_TYPE);
}

TEST_F(ChartService, TheLedFollowsSetCtrlVal) {
    EXPECT_EQ(SetCtrlVal(panel, LED, 1), 0);
    int value = -1;
    EXPECT_EQ(GetCtrlVal(panel, LED, &value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(led->accessibleDescription(), "on");
    EXPECT_EQ(SetCtrlVal(panel, LED, 0), 0);
    EXPECT_EQ(GetCtrlVal(panel, LED, &value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(led->accessibleDescription(), "off");
}

TEST_F(ChartService, PlotXYKeepsTheConvertedPointsStylesAndColoursInOrder) {
    unsigned short x[128];
    unsigned short curve[128];
    unsigned short band[128];
    for (int i = 0; i < 128; ++i) {
        x[i] = i;
        curve[i] = 65535 - i;
        band[i] = 2560;
    }
    const int first =
        PlotXY(panel, GRAPH, x, band, 128, VAL_UNSIGNED_SHORT_INTEGER, VAL_UNSIGNED_SHORT_INTEGER,
               VAL_THIN_LINE, VAL_SIMPLE_DOT, VAL_DASH, 1, 0x000000);
    const int second =
        PlotXY(panel, GRAPH, x, curve, 128, VAL_UNSIGNED_SHORT_INTEGER, VAL_UNSIGNED_SHORT_INTEGER,
               VAL_FAT_LINE, VAL_SIMPLE_DOT, VAL_SOLID, 1, 0xFF0000);
    EXPECT_GT(first, 0);
    EXPECT_GT(second, 0);
    EXPECT_NE(first, second);

    const QVector<KvXYGraph::Plot> plots = graph->plots();
    ASSERT_EQ(plots.size(), 2);
    EXPECT_EQ(plots[0].handle, first);
    EXPECT_EQ(plots[0].y, QVector<double>(128, 2560));
    EXPECT_EQ(plots[0].plotStyle, VAL_THIN_LINE);
    EXPECT_EQ(plots[0].lineStyle, VAL_DASH);
    EXPECT_EQ(plots[0].colour, 0x000000u);
    EXPECT_EQ(plots[1].x[127], 127);
    EXPECT_EQ(plots[1].y[0], 65535);
    EXPECT_EQ(plots[1].y[127], 65408);
    EXPECT_EQ(plots[1].plotStyle, VAL_FAT_LINE);
    EXPECT_EQ(plots[1].pointStyle, VAL_SIMPLE_DOT);
    EXPECT_EQ(plots[1].pointFrequency, 1);
    EXPECT_EQ(plots[1].colour, 0xFF0000u);

    EXPECT_EQ(DeleteGraphPlot(panel, GRAPH, first, VAL_IMMEDIATE_DRAW), 0);
    ASSERT_EQ(graph->plots().size(), 1);
    EXPECT_EQ(graph->plots()[0].handle, second);
    EXPECT_EQ(DeleteGraphPlot(panel, GRAPH, first, VAL_IMMEDIATE_DRAW), UIE_VALUE_TYPE);
    const int third =
        PlotXY(panel, GRAPH, x, curve, 128, VAL_UNSIGNED_SHORT_INTEGER, VAL_UNSIGNED_SHORT_INTEGER,
               VAL_SCATTER, VAL_SIMPLE_DOT, VAL_SOLID, 4, 0x00FF00);
    EXPECT_GT(third, second);
    EXPECT_EQ(DeleteGraphPlot(panel, GRAPH, -1, VAL_IMMEDIATE_DRAW), 0);
    EXPECT_TRUE(graph->plots().isEmpty());
}

TEST_F(ChartService, AxesAreManualOrFittedToTheDataAndTheYAxisIsNamed) {
    EXPECT_EQ(graph->axisRange(VAL_XAXIS), qMakePair(0.0, 100.0));
    EXPECT_EQ(graph->axisRange(VAL_LEFT_YAXIS), qMakePair(0.0, 100.0));
    EXPECT_EQ(SetAxisScalingMode(panel, GRAPH, VAL_XAXIS, VAL_MANUAL, 1.0, 128.0), 0);
    EXPECT_EQ(SetAxisScalingMode(panel, GRAPH, VAL_LEFT_YAXIS, VAL_MANUAL, 0.0, 1000.0), 0);
    EXPECT_EQ(graph->axisRange(VAL_XAXIS), qMakePair(1.0, 128.0));
    EXPECT_EQ(graph->axisRange(VAL_LEFT_YAXIS), qMakePair(0.0, 1000.0));

    EXPECT_EQ(SetAxisScalingMode(panel, GRAPH, VAL_LEFT_YAXIS, VAL_AUTOSCALE, 0, 0), 0);
    EXPECT_EQ(graph->axisRange(VAL_LEFT_YAXIS), qMakePair(0.0, 1000.0));
    const double x[] = {0, 1, 2};
    const double y[] = {-5, 40, 12};
    ASSERT_GT(PlotXY(panel, GRAPH, x, y, 3, VAL_DOUBLE, VAL_DOUBLE, VAL_THIN_LINE, VAL_SIMPLE_DOT,
                     VAL_SOLID, 1, 0),
              0);
    EXPECT_EQ(graph->axisRange(VAL_LEFT_YAXIS), qMakePair(-5.0, 40.0));
    EXPECT_EQ(graph->axisRange(VAL_XAXIS), qMakePair(1.0, 128.0));

    EXPECT_EQ(SetAxisScalingMode(panel, GRAPH, VAL_XAXIS, VAL_MANUAL, 5.0, 5.0), UIE_VALUE_TYPE);
    EXPECT_EQ(SetAxisScalingMode(panel, GRAPH, VAL_XAXIS, VAL_MANUAL, NAN, 5.0), UIE_VALUE_TYPE);
    EXPECT_EQ(SetAxisScalingMode(panel, GRAPH, 2, VAL_MANUAL, 0.0, 5.0), UIE_VALUE_TYPE);
    EXPECT_EQ(SetAxisScalingMode(panel, GRAPH, VAL_XAXIS, 2, 0.0, 5.0), UIE_VALUE_TYPE);
    EXPECT_EQ(graph->axisRange(VAL_XAXIS), qMakePair(1.0, 128.0));

    EXPECT_EQ(SetCtrlAttribute(panel, GRAPH, ATTR_YNAME, "RAW-values / [ADC-units]"), 0);
    EXPECT_EQ(graph->yName(), "RAW-values / [ADC-units]");
    EXPECT_EQ(SetCtrlAttribute(panel, CHART, ATTR_YNAME, "x"), UIE_ATTRIBUTE);
}

TEST_F(ChartService, GraphCallsWithBadArgumentsFailAndAddNothing) {
    const unsigned short x[] = {0, 1};
    const auto plot = [&](const void *xs, const void *ys, int count, int type, int style,
                          int lineStyle, int frequency, int colour, int control = GRAPH) {
        return PlotXY(panel, control, xs, ys, count, type, type, style, VAL_SIMPLE_DOT, lineStyle,
                      frequency, colour);
    };
    const int six = VAL_UNSIGNED_SHORT_INTEGER;
    EXPECT_EQ(plot(x, x, 2, six, VAL_THIN_LINE, VAL_SOLID, 1, 0, CHART), UIE_ATTRIBUTE);
    EXPECT_EQ(plot(x, x, 2, six, VAL_THIN_LINE, VAL_SOLID, 1, 0, 99), UIE_CONTROL_ID);
    EXPECT_EQ(plot(nullptr, x, 2, six, VAL_THIN_LINE, VAL_SOLID, 1, 0), UIE_VALUE_TYPE);
    EXPECT_EQ(plot(x, nullptr, 2, six, VAL_THIN_LINE, VAL_SOLID, 1, 0), UIE_VALUE_TYPE);
    EXPECT_EQ(plot(x, x, -1, six, VAL_THIN_LINE, VAL_SOLID, 1, 0), UIE_VALUE_TYPE);
    EXPECT_EQ(plot(x, x, 2, 5, VAL_THIN_LINE, VAL_SOLID, 1, 0), UIE_VALUE_TYPE);
    EXPECT_EQ(plot(x, x, 2, six, 3, VAL_SOLID, 1, 0), UIE_VALUE_TYPE);
    EXPECT_EQ(plot(x, x, 2, six, VAL_THIN_LINE, 3, 1, 0), UIE_VALUE_TYPE);
    EXPECT_EQ(plot(x, x, 2, six, VAL_THIN_LINE, VAL_SOLID, 0, 0), UIE_VALUE_TYPE);
    EXPECT_EQ(plot(x, x, 2, six, VAL_THIN_LINE, VAL_SOLID, 1, 0x1000000), UIE_VALUE_TYPE);
    EXPECT_EQ(plot(x, x, 2, six, VAL_THIN_LINE, VAL_SOLID, 1, -1), UIE_VALUE_TYPE);
    EXPECT_TRUE(graph->plots().isEmpty());
    EXPECT_GT(plot(x, x, 0, six, VAL_THIN_LINE, VAL_SOLID, 1, 0), 0);

    EXPECT_EQ(DeleteGraphPlot(panel + 100, GRAPH, -1, 1), UIE_PANEL_HANDLE);
    EXPECT_EQ(DeleteGraphPlot(panel, CHART, -1, 1), UIE_ATTRIBUTE);
    EXPECT_EQ(SetAxisScalingMode(panel, LED, VAL_XAXIS, VAL_MANUAL, 0, 1), UIE_ATTRIBUTE);
}

TEST_F(PanelTest, TheProgramsChartsGraphAndLedsAreThePlatformControls) {
    for (int id : {PANEL_NORMCHART, PANEL_RAWCHART})
        EXPECT_NE(qobject_cast<KvStripChart *>(PanelControlWidget(kelvaro::panelHandle, id)),
                  nullptr);
    EXPECT_NE(qobject_cast<KvXYGraph *>(PanelControlWidget(kelvaro::panelHandle, PANEL_GRAPH)),
              nullptr);
    for (int id : {PANEL_REFLED, PANEL_TOLLED})
        EXPECT_NE(qobject_cast<KvLed *>(PanelControlWidget(kelvaro::panelHandle, id)), nullptr);
}
