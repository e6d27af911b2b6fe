// The live monitor: target and port selection, the REF / TOL LEDs, the strip-chart windows, and
// live runs over a real pseudo-terminal against the simulated controller.
#include "program_fixture.h"

#include "utility.h"

#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>

using namespace kelvaro;

namespace {

struct LedStates {
    int ref;
    int tol;
};

LedStates leds() {
    int ref = -1;
    int tol = -1;
    GetCtrlVal(panelHandle, PANEL_REFLED, &ref);
    GetCtrlVal(panelHandle, PANEL_TOLLED, &tol);
    return {ref, tol};
}

struct Switch {
    unsigned value;
    const char *led;
    int state;
    bool operator==(const Switch &o) const {
        return value == o.value && std::string(led) == o.led && state == o.state;
    }
};

std::ostream &operator<<(std::ostream &out, const Switch &s) {
    return out << s.led << (s.state ? " on at " : " off at ") << s.value;
}

// Feeds the values to both LEDs and lists where each one switched.
std::vector<Switch> walk(const std::vector<unsigned> &values) {
    std::vector<Switch> switches;
    LedStates before = leds();
    for (unsigned value : values) {
        SetREFLed(value);
        SetTOLLed(value);
        const LedStates now = leds();
        if (now.ref != before.ref)
            switches.push_back({value, "REF", now.ref});
        if (now.tol != before.tol)
            switches.push_back({value, "TOL", now.tol});
        before = now;
    }
    return switches;
}

std::vector<unsigned> risingThenFalling() {
    std::vector<unsigned> values;
    for (unsigned v = 0; v <= 700; ++v)
        values.push_back(v);
    for (int v = 699; v >= 0; --v)
        values.push_back(unsigned(v));
    return values;
}

void setLiveWords(int norm, int a, int b, int tolWord) {
    std::fill(pp, pp + PNUM, 0);
    pp[0] = static_cast<unsigned short>(norm);
    pp[1] = static_cast<unsigned short>(a);
    pp[2] = static_cast<unsigned short>(b);
    pp[3] = 4000;
    pp[5] = 600;
    pp[6] = 400;
    pp[7] = static_cast<unsigned short>(tolWord);
}

} // namespace

TEST_F(PanelTest, LedsSwitchWithHysteresisAtBothEdges) {
    reference = 500;
    tolerance = 100;
    hysteresis = 20;
    polarity = 1;
    const std::vector<Switch> expected = {{420, "TOL", 1}, {520, "REF", 1}, {601, "TOL", 0},
                                          {580, "TOL", 1}, {499, "REF", 0}, {399, "TOL", 0}};
    walk({0});
    EXPECT_EQ(walk(risingThenFalling()), expected);

    polarity = 0;
    walk({0});
    std::vector<Switch> inverted = expected;
    for (Switch &s : inverted)
        s.state = 1 - s.state;
    EXPECT_EQ(walk(risingThenFalling()), inverted);
}

TEST_F(PanelTest, ANewReferenceMovesTheSwitchingPointOneCallLate) {
    reference = 500;
    tolerance = 100;
    hysteresis = 20;
    polarity = 1;
    walk({0, 600, 510});
    EXPECT_EQ(leds().ref, 1);
    reference = 600;
    walk({510});
    EXPECT_EQ(leds().ref, 1) << "the first call still compares with the old threshold";
    walk({510});
    EXPECT_EQ(leds().ref, 0);
}

TEST_F(PanelTest, NegativeThresholdsCompareAsSignedNumbers) {
    reference = 50;
    tolerance = 100;
    hysteresis = 0;
    polarity = 1;
    walk({0, 0});
    EXPECT_EQ(lowTHD, -50);
    EXPECT_EQ(leds().tol, 1) << "0 lies inside -50..150";
    EXPECT_EQ(leds().ref, 0);
}

TEST(ArrayShift, ShiftsBothWaysInPlaceAndReportsBadArguments) {
    std::vector<double> a(200);
    for (int i = 0; i < 200; ++i)
        a[i] = i + 1;
    EXPECT_EQ(Shift(a.data(), 200, -2, a.data()), 0);
    for (int i = 0; i < 198; ++i)
        ASSERT_EQ(a[i], i + 3);
    EXPECT_EQ(a[198], 0.0);
    EXPECT_EQ(a[199], 0.0);

    std::vector<double> b = {1, 2, 3, 4, 5};
    EXPECT_EQ(Shift(b.data(), 5, 2, b.data()), 0);
    EXPECT_EQ(b, (std::vector<double>{0, 0, 1, 2, 3}));

    std::vector<double> out(5, 9);
    EXPECT_EQ(Shift(b.data(), 0, 0, out.data()), ARRAY_COUNT_ERROR);
    EXPECT_EQ(Shift(b.data(), 0, 7, out.data()), ARRAY_COUNT_ERROR);
    EXPECT_EQ(Shift(b.data(), 5, 5, out.data()), ARRAY_SHIFT_ERROR);
    EXPECT_EQ(Shift(b.data(), 5, -5, out.data()), ARRAY_SHIFT_ERROR);
    EXPECT_EQ(Copy1D(b.data(), 0, out.data()), ARRAY_COUNT_ERROR);
    EXPECT_EQ(out, std::vector<double>(5, 9)) << "bad arguments leave the output alone";
    EXPECT_EQ(Shift(b.data(), 5, 0, out.data()), 0);
    EXPECT_EQ(out, b);
}

TEST_F(PanelTest, NormLinesAreClampedAndFollowTheHardwareModeOnThePanel) {
    reference = 900;
    tolerance = 300;
    setLiveWords(700, 10, 20, 50);
    SetCtrlVal(panelHandle, PANEL_HWMODE, 0);
    PlotNORMValues(arrayNORM);
    EXPECT_EQ(arrayNORM[396], 1000);
    EXPECT_EQ(arrayNORM[397], 600);
    EXPECT_EQ(arrayNORM[398], 900);
    EXPECT_EQ(arrayNORM[399], 700);
    EXPECT_EQ(wordValue(PANEL_TOLERANCE), 300);
    EXPECT_EQ(hwmode, 1) << "the panel is read, not the variable";

    SetCtrlVal(panelHandle, PANEL_HWMODE, 3);
    PlotNORMValues(arrayNORM);
    EXPECT_EQ(arrayNORM[396], 950);
    EXPECT_EQ(arrayNORM[397], 850);
    EXPECT_EQ(wordValue(PANEL_TOLERANCE), 50);
    EXPECT_EQ(arrayNORM[392], 1000) << "the previous step moved one place towards the start";

    reference = 100;
    tolerance = 100;
    SetCtrlVal(panelHandle, PANEL_HWMODE, 2);
    PlotNORMValues(arrayNORM);
    EXPECT_EQ(arrayNORM[397], 1);
    EXPECT_EQ(intValue(PANEL_VALNORM), 700);
    EXPECT_EQ(intValue(PANEL_ADCCHA), 10);
    EXPECT_EQ(intValue(PANEL_ADCCHB), 20);
    EXPECT_EQ(intValue(PANEL_AMAX), 4000);
    EXPECT_EQ(intValue(PANEL_UPVAL), 600);
    EXPECT_EQ(intValue(PANEL_LOVAL), 400);

    setLiveWords(700, 10, 20, 77);
    PlotRAWValues();
    EXPECT_EQ(wordValue(PANEL_TOLERANCE), 77) << "after a RAW plot the controller's own word";
}

TEST_F(PanelTest, TargetButtonsAlwaysLeaveExactlyOneTicked) {
    auto click = [](const char *name) { press(name); };
    auto ticks = [] {
        return std::vector<int>{intValue(PANEL_RBTRAM), intValue(PANEL_RBTEEPROM),
                                intValue(PANEL_RBTFILE)};
    };
    DisplayPanel(panelHandle);

    click("PANEL_RBTRAM");
    EXPECT_EQ(ticks(), (std::vector<int>{1, 0, 0})) << "RAM cannot be unticked";
    EXPECT_EQ(target, RAM);
    click("PANEL_RBTFILE");
    EXPECT_EQ(ticks(), (std::vector<int>{0, 0, 1}));
    EXPECT_EQ(target, DATFILE);
    click("PANEL_RBTEEPROM");
    EXPECT_EQ(ticks(), (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(target, EEPROM);
    click("PANEL_RBTEEPROM");
    EXPECT_EQ(ticks(), (std::vector<int>{1, 0, 0})) << "unticking EEPROM falls back to RAM";
    EXPECT_EQ(target, RAM);
    click("PANEL_RBTFILE");
    click("PANEL_RBTFILE");
    EXPECT_EQ(ticks(), (std::vector<int>{1, 0, 0}));
    EXPECT_EQ(target, RAM);
    click("PANEL_RBTFILE");
    click("PANEL_RBTRAM");
    EXPECT_EQ(ticks(), (std::vector<int>{1, 0, 0}));
    EXPECT_EQ(target, RAM);
}

class LiveRunTest : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        startProgram();
    }
    int liveRequests() const {
        int n = 0;
        for (int order : ordersReceived())
            n += order == 8;
        return n;
    }
    // Presses Run; the step runs every few milliseconds inside the run until it returns true.
    void run(const std::function<bool()> &step) {
        QTimer timer;
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            if (step())
                timer.stop();
        });
        timer.start();
        QTest::mouseClick(control<QPushButton>("PANEL_BTNRUN"), Qt::LeftButton);
    }
    static bool dimmed(const char *name) { return !control(name)->isEnabled(); }
};

TEST_F(LiveRunTest, AnswersScrollIntoTheNormWindowInOrderUntilStop) {
    std::vector<uint16_t> script;
    for (uint16_t v = 101; v <= 160; ++v)
        script.push_back(v);
    sim.scriptNorm(script);
    std::vector<double> window;
    bool dimmedDuringRun = false;

    run([&] {
        if (liveRequests() < 12)
            return false;
        window.assign(arrayNORM, arrayNORM + 400);
        dimmedDuringRun = dimmed("PANEL_BTNRUN") && dimmed("PANEL_BTNDATA");
        press("PANEL_BTNSTOP");
        return true;
    });

    EXPECT_TRUE(dimmedDuringRun);
    std::vector<int> values;
    for (int k = 0; k < 100; ++k)
        if (window[4 * k + 3] != 0)
            values.push_back(int(window[4 * k + 3]));
    ASSERT_GE(values.size(), 10u);
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(values[i], 101 + int(i));
    EXPECT_EQ(window[399], values.back());

    for (int k = 0; k < 100; ++k) {
        ASSERT_EQ(arrayNORM[4 * k], 2560);
        ASSERT_EQ(arrayNORM[4 * k + 1], 1536);
        ASSERT_EQ(arrayNORM[4 * k + 2], 2048);
        ASSERT_EQ(arrayNORM[4 * k + 3], 0);
        ASSERT_EQ(arrayRAW[2 * k], 0);
    }
    EXPECT_FALSE(dimmed("PANEL_BTNRUN"));
    EXPECT_FALSE(dimmed("PANEL_BTNDATA"));
    EXPECT_EQ(stop_flag, 1);
    EXPECT_EQ(status(), "Line Ok!");
}

TEST_F(LiveRunTest, ASilentControllerEndsTheRunAfterTwoSecondsAndKeepsDataDimmedUntilStop) {
    kvsim::Faults silent;
    silent.silent = true;
    sim.setFaults(silent);
    const double start = Timer();
    run([] { return true; });
    const double elapsed = Timer() - start;

    EXPECT_EQ(status(), "Timeout RS232-Line!");
    EXPECT_GT(elapsed, 2.0);
    EXPECT_LT(elapsed, 3.5) << "one time-out, not more";
    EXPECT_FALSE(dimmed("PANEL_BTNRUN"));
    EXPECT_TRUE(dimmed("PANEL_BTNDATA"));
    press("PANEL_BTNSTOP");
    EXPECT_FALSE(dimmed("PANEL_BTNDATA"));
}

TEST_F(LiveRunTest, AnAnswerArrivingAfterStopIsNeverPlotted) {
    kvsim::Faults late;
    late.lateSeconds = 0.15; // the answer in flight at Stop comes in whole after it
    sim.setFaults(late);
    run([&] {
        if (liveRequests() < 3)
            return false;
        press("PANEL_BTNSTOP");
        return true;
    });
    ASSERT_TRUE(waitFor([] { return graphrefresh == 1; }, 1.0)) << "the late answer came in";

    kvsim::Faults silent;
    silent.silent = true;
    sim.setFaults(silent);
    run([] { return true; });
    ASSERT_EQ(status(), "Timeout RS232-Line!");
    for (int k = 0; k < 100; ++k)
        ASSERT_EQ(arrayNORM[4 * k + 3], 0) << k;
    EXPECT_EQ(arrayNORM[398], reference) << "the run's own flat lines, nothing plotted on them";
}

TEST_F(LiveRunTest, TheGraphSourceRingSwitchesChartsDuringARun) {
    auto *ring = control<QComboBox>("PANEL_RNGGRAPHSOURCE");
    int switchedAt = 0;
    bool rawShown = false;
    run([&] {
        if (switchedAt == 0 && liveRequests() >= 3) {
            switchedAt = liveRequests();
            ring->setCurrentIndex(0);
            emit ring->activated(0);
            rawShown =
                control("PANEL_RAWCHART")->isVisible() && !control("PANEL_NORMCHART")->isVisible();
        }
        if (switchedAt == 0 || liveRequests() < switchedAt + 4)
            return false;
        EXPECT_EQ(type, 0);
        EXPECT_NE(arrayRAW[198], 0.0) << "channel A of the newest answer";
        EXPECT_EQ(arrayRAW[198], adcCHA);
        press("PANEL_BTNSTOP");
        return true;
    });
    EXPECT_TRUE(rawShown);
}

TEST_F(LiveRunTest, ClosingTheWindowEndsTheRunAndThenTheProgram) {
    run([&] {
        if (liveRequests() < 3)
            return false;
        window()->close();
        return true;
    });
    EXPECT_EQ(stop_flag, 1);
    EXPECT_FALSE(dimmed("PANEL_BTNRUN"));
    const double start = Timer();
    EXPECT_EQ(RunUserInterface(), 0);
    EXPECT_LT(Timer() - start, 0.5);
}

TEST_F(LiveRunTest, AChangeOfPortRunsTheWholeStartUpAgainAndTargetsRam) {
    press("PANEL_RBTEEPROM");
    ASSERT_EQ(target, EEPROM);
    auto *ring = control<QComboBox>("PANEL_DROPDCOM");
    ring->setCurrentIndex(ring->findData(1));
    emit ring->activated(ring->currentIndex());

    EXPECT_EQ(target, RAM);
    EXPECT_EQ(intValue(PANEL_RBTEEPROM), 1) << "the buttons are not touched";
    EXPECT_EQ(ordersReceived(), (std::vector<int>{5, 2, 7}));
    EXPECT_EQ(status(), kvsim::FIRMWARE_TEXT);
}

TEST_F(LiveRunTest, StopWhileIdleSendsNothingAndResetsTheWindows) {
    SetCtrlAttribute(panelHandle, PANEL_BTNDATA, ATTR_DIMMED, 1);
    FillarrayNORM(10, 20, 30);
    arrayRAW[5] = 7;
    const bool graphShown = control("PANEL_GRAPH")->isVisible();
    press("PANEL_BTNSTOP");

    EXPECT_TRUE(ordersReceived().empty());
    EXPECT_FALSE(dimmed("PANEL_BTNRUN"));
    EXPECT_FALSE(dimmed("PANEL_BTNDATA"));
    EXPECT_EQ(control("PANEL_GRAPH")->isVisible(), graphShown);
    EXPECT_EQ(arrayNORM[0], 2560);
    EXPECT_EQ(arrayNORM[3], 0);
    EXPECT_EQ(arrayRAW[5], 0);
}

TEST_F(LiveRunTest, ACommandPressedDuringARunRunsInsideItAndTheRunGoesOn) {
    int answersAfterGet = -1;
    run([&] {
        if (answersAfterGet < 0 && liveRequests() >= 3) {
            QTest::mouseClick(control<QPushButton>("PANEL_BTNGET"), Qt::LeftButton);
            answersAfterGet = liveRequests();
            return false;
        }
        if (answersAfterGet < 0 || liveRequests() < answersAfterGet + 3)
            return false;
        press("PANEL_BTNSTOP");
        return true;
    });
    const std::vector<int> orders = ordersReceived();
    const auto get = std::find(orders.begin(), orders.end(), 2);
    ASSERT_NE(get, orders.end()) << "the get went out in the middle of the run";
    EXPECT_GE(std::count(get, orders.end(), 8), 3) << "and the run went on after it";
    EXPECT_TRUE(statusHistory.contains("Data Transfer Ok!"));
    EXPECT_EQ(ProgramParameters(), WordsOf(sim.ram()));
    EXPECT_NE(status(), "Timeout RS232-Line!");
}

TEST_F(LiveRunTest, AChangeToAPortThatCannotBeOpenedSaysSoAndKeepsTheNewNumber) {
    setenv("KELVARO_COM2", "/nonexistent/kelvaro-tty", 1);
    auto *ring = control<QComboBox>("PANEL_DROPDCOM");
    ring->showPopup();
    ring->hidePopup();
    const int index = ring->findData(2);
    ASSERT_GE(index, 0);
    ring->setCurrentIndex(index);
    emit ring->activated(index);
    unsetenv("KELVARO_COM2");

    EXPECT_EQ(com, 2);
    EXPECT_TRUE(statusHistory.contains("Init COM-Port ..."));
    EXPECT_EQ(status().rfind("Cannot open port", 0), 0u) << status();
    EXPECT_TRUE(ordersReceived().empty());
    press("PANEL_BUTTONRESET");
    EXPECT_TRUE(ordersReceived().empty()) << "later commands go to the new number";
}
