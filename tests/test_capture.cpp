// Curve capture: 64-word block reads placed by offset and the XY graph's plots, against the
// simulator, with its faults.
#include "program_fixture.h"

#include "xy_graph.h"

#include "utility.h"

#include <QComboBox>
#include <QTimer>

using namespace kelvaro;

namespace {

std::vector<int> wordsOf(const unsigned short *words, int from, int to) {
    return std::vector<int>(words + from, words + to);
}

} // namespace

class CaptureTest : public StartedTest {
  protected:
    void selectSource(int source) {
        control<QComboBox>("PANEL_RNGGRAPHSOURCE")->setCurrentIndex(source);
    }
    static KvXYGraph *graph() { return control<KvXYGraph>("PANEL_GRAPH"); }
};

TEST_F(CaptureTest, ARawCaptureReadsFourBlocksIntoBothCurvesTopBitsAsTheyCame) {
    std::array<uint16_t, kvsim::CURVE_WORDS> curve{};
    for (size_t i = 0; i < curve.size(); ++i)
        curve[i] = uint16_t(i * 257);
    curve[128] = 0x8000;
    curve[191] = 0xFFFF;
    sim.scriptCurve(curve);
    selectSource(0);
    press("PANEL_BTNDATA");

    const std::vector<kvsim::Request> blocks = requestsOf({9});
    ASSERT_EQ(blocks.size(), 4u);
    for (size_t i = 0; i < blocks.size(); ++i) {
        kvsim::Words expected{};
        expected[0] = uint16_t(64 * i);
        EXPECT_EQ(WordsOf(blocks[i].words), WordsOf(expected)) << "block " << i;
    }
    EXPECT_EQ(wordsOf(yArrayA, 0, 128), wordsOf(curve.data(), 0, 128));
    EXPECT_EQ(wordsOf(yArrayB, 0, 128), wordsOf(curve.data(), 128, 256));
    const QVector<KvXYGraph::Plot> plots = graph()->plots();
    ASSERT_EQ(plots.size(), 2);
    EXPECT_EQ(plots[1].y[100], yArrayB[100]);
    EXPECT_TRUE(graph()->isVisible());
    EXPECT_FALSE(control("PANEL_NORMCHART")->isVisible());
    EXPECT_EQ(ordersReceived().back(), 8) << "one live frame after the blocks";
    EXPECT_EQ(rx_flag, 1) << "the receive callback is back and took the live frame";
    EXPECT_EQ(arrayRAW[198], adcCHA);
}

TEST_F(CaptureTest, ANormCaptureReadsTwoBlocksAndDrawsTheBandTheCurveAndTheReferenceLine) {
    std::fill(yArrayB, yArrayB + 256, 0x1234);
    reference = 500;
    tolerance = 100;
    selectSource(1);
    press("PANEL_BTNDATA");

    const std::vector<kvsim::Request> blocks = requestsOf({9});
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[1].words[0], 64);
    EXPECT_EQ(blocks[1].words[1], 1);
    EXPECT_EQ(wordsOf(yArrayA, 0, 128), wordsOf(sim.curve(true).data(), 0, 128));
    EXPECT_EQ(wordsOf(yArrayB, 0, 256), std::vector<int>(256, 0x1234));
    const QVector<KvXYGraph::Plot> plots = graph()->plots();
    ASSERT_EQ(plots.size(), 4);
    std::vector<double> starts;
    for (const KvXYGraph::Plot &plot : plots)
        starts.push_back(plot.y.front());
    EXPECT_EQ(starts, (std::vector<double>{600, 400, double(yArrayA[0]), 500}));
}

TEST_F(CaptureTest, TheBandIsClampedAtTheTopAndAtOneIndependently) {
    selectSource(1);
    // Reference, tolerance, then the band's top and bottom.
    for (const auto &[ref, tol, up, low] : std::vector<std::array<int, 4>>{
             {4000, 96, 4095, 3904}, {100, 100, 200, 1}, {60000, 10, 4095, 59990}}) {
        reference = static_cast<unsigned short>(ref);
        tolerance = static_cast<unsigned short>(tol);
        press("PANEL_BTNDATA");
        EXPECT_EQ(upArray[127], up) << ref << "/" << tol;
        EXPECT_EQ(loArray[0], low) << ref << "/" << tol;
        EXPECT_EQ(refArray[64], ref);
        ASSERT_EQ(graph()->plots().size(), 4);
        EXPECT_EQ(graph()->plots()[1].y[5], low);
    }
}

TEST_F(CaptureTest, ARingValueBeyondNormReadsFourBlocksAndPlotsNothing) {
    auto *ring = control<QComboBox>("PANEL_RNGGRAPHSOURCE");
    ring->addItem("other");
    ring->setCurrentIndex(2);
    press("PANEL_BTNDATA");
    EXPECT_EQ(requestsOf({9}).size(), 4u);
    EXPECT_EQ(requestsOf({9})[3].words[1], 2);
    EXPECT_TRUE(graph()->plots().isEmpty());
}

TEST_F(CaptureTest, ATimeOutInTheThirdBlockWipesWhatCameBeforeAndTheFourthRefillsItsQuarter) {
    sim.setFaults(Fault(&kvsim::Faults::missingBlockAt, 2));
    std::fill(yArrayA, yArrayA + 128, 7);
    selectSource(0);
    const double start = Timer();
    press("PANEL_BTNDATA");

    EXPECT_GT(Timer() - start, 1.5);
    EXPECT_EQ(wordsOf(yArrayA, 0, 128), std::vector<int>(128, 0));
    EXPECT_EQ(wordsOf(yArrayB, 0, 64), std::vector<int>(64, 0));
    EXPECT_EQ(wordsOf(yArrayB, 64, 128), wordsOf(sim.curve(false).data(), 192, 256));
    EXPECT_TRUE(saidNoAnswer("Timeout-RS-232 while reading 64 data-words!"));
    EXPECT_EQ(status(), "Data[64] block received!");
}

TEST_F(CaptureTest, TheDataButtonIsDimmedWhileACaptureRuns) {
    bool dimmedDuringCapture = false;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout,
                     [&] { dimmedDuringCapture |= !control("PANEL_BTNDATA")->isEnabled(); });
    check.start(1);
    press("PANEL_BTNDATA");
    EXPECT_TRUE(dimmedDuringCapture);
    EXPECT_TRUE(control("PANEL_BTNDATA")->isEnabled());
}

class BlockReadTest : public LinkTest {};

TEST_F(BlockReadTest, ABlockAtAnOddOffsetOrWithStrayBytesStoresNothing) {
    startProgram();
    std::fill(yArrayA, yArrayA + 256, 3);
    std::fill(yArrayB, yArrayB + 256, 3);
    EXPECT_EQ(ReadData64(32, 1, 9), 64);
    ASSERT_EQ(sim.requests().size(), 1u);
    EXPECT_EQ(WordsOf(sim.requests()[0].words),
              (std::vector<int>{32, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(status(), "Data[64] block received!");

    // The last of the block handed over late, as a loaded machine does: the stray bytes before it
    // make the queue hold exactly a block's length for those milliseconds.
    kvsim::Faults lateTail = Fault(&kvsim::Faults::strayBytes, 2);
    lateTail.tailBytes = 2;
    lateTail.tailLateSeconds = 0.0015;
    for (const kvsim::Faults &faults :
         {Fault(&kvsim::Faults::extraBytes, 2), Fault(&kvsim::Faults::strayBytes, 2), lateTail}) {
        sim.setFaults(faults);
        EXPECT_EQ(ReadData64(0, 0, 9), 0);
        EXPECT_EQ(status().rfind("read error: 2 stray bytes with the 128-byte block on COM1", 0),
                  0u)
            << status();
        EXPECT_EQ(wordsOf(yArrayA, 0, 256), std::vector<int>(256, 3));
        EXPECT_EQ(wordsOf(yArrayB, 0, 256), std::vector<int>(256, 3));
    }
}
