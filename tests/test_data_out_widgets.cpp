// The platform's ways out for data: a frozen strip chart, a control's display written to a
// picture file and the frame log window, each driven offscreen as the program drives them.
#include "program_fixture.h"

#include "chart.h"
#include "strip_chart.h"

#include "internal.h"
#include "panel.h"

#include <QImage>
#include <QLayout>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const int CHART = 2;
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
            if (image.pixel(x, y) == (0xFF000000 | TRACE)) {
                sum += y;
                ++count;
            }
    return count ? sum / count : -1;
}

// A panel with one strip chart of one red trace from 0 to 1000, 50 points a screen.
class DataOut : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        const QString form =
            WriteForm(dir.path(), FormItem("KvStripChart", "PANEL_CHART", CHART,
                                           R"(<property name="yMax"><double>1000</double>)"
                                           R"(</property>)"));
        panel = LoadPanel(0, form.toLocal8Bit().constData(), 1);
        ASSERT_GT(panel, 0) << LastPanelError();
        chart = qobject_cast<KvStripChart *>(PanelControlWidget(panel, CHART));
        ASSERT_TRUE(chart);
        // Laid out now, so that no later layout pass changes the chart's size between renders.
        chart->window()->resize(400, 300);
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

TEST_F(DataOut, AFrozenChartKeepsItsPictureWhileTheDataGoOnAndShowsThemWhenThawed) {
    plot(200, 50);
    const QImage before = rendered(*chart);
    const double lowRow = traceRow(before);
    ASSERT_GT(lowRow, 150);

    ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_CHART_FROZEN, 1), 0);
    plot(800, 30);
    EXPECT_EQ(rendered(*chart), before);
    EXPECT_EQ(chart->points(1).size(), 50);
    EXPECT_EQ(chart->points(1).last(), 800);
    // Settings made while frozen belong to the present data, not to the held picture.
    ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_SCROLL_MODE, VAL_SWEEP), 0);
    chart->setYMax(2000);
    EXPECT_EQ(rendered(*chart), before);

    ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_CHART_FROZEN, 0), 0);
    chart->setYMax(1000);
    const double shownRow = traceRow(rendered(*chart));
    EXPECT_GT(shownRow, 0);
    EXPECT_LT(shownRow, 150);
}

TEST_F(DataOut, AppendsToAFrozenChartOnTheScreenDoNotRepaintIt) {
    chart->window()->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(chart->window()));
    ASSERT_EQ(SetCtrlAttribute(panel, CHART, ATTR_CHART_FROZEN, 1), 0);
    QTest::qWait(5 * chart->frameInterval());
    const int paints = chart->paintCount();
    for (int i = 0; i < 100; ++i) {
        plot(i, 4);
        QCoreApplication::processEvents();
    }
    QTest::qWait(5 * chart->frameInterval());
    EXPECT_EQ(chart->paintCount(), paints);
}
