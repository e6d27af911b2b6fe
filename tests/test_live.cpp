// The live monitor: the REF / TOL LEDs, the NORM lines, and live runs over a real pseudo-terminal
// against the simulated controller.
#include "program_fixture.h"

#include "utility.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <tuple>

using namespace kelvaro;

namespace {

int led(int control) {
    int lit = -1;
    GetCtrlVal(panelHandle, control, &lit);
    return lit;
}

// Feeds the values to both LEDs and lists where each one switched: "REF on at 520", ...
std::vector<std::string> walk(const std::vector<unsigned> &values) {
    std::vector<std::string> switches;
    for (unsigned value : values) {
        const int ref = led(PANEL_REFLED);
        const int tol = led(PANEL_TOLLED);
        SetREFLed(value);
        SetTOLLed(value);
        for (const auto &[name, control, before] :
             {std::tuple("REF", PANEL_REFLED, ref), std::tuple("TOL", PANEL_TOLLED, tol)})
            if (led(control) != before)
                switches.push_back(std::string(name) + (before ? " off at " : " on at ") +
                                   std::to_string(value));
    }
    return switches;
}

} // namespace

class LiveDisplayTest : public PanelTest {};

TEST_F(LiveDisplayTest, LedsSwitchWithHysteresisAtBothEdgesAndCompareAsSignedWords) {
    reference = 500;
    tolerance = 100;
    hysteresis = 20;
    std::vector<unsigned> risingThenFalling;
    for (int v = 0; v <= 1400; ++v)
        risingThenFalling.push_back(unsigned(v <= 700 ? v : 1400 - v));
    polarity = 1;
    walk({0});
    EXPECT_EQ(walk(risingThenFalling),
              (std::vector<std::string>{"TOL on at 420", "REF on at 520", "TOL off at 601",
                                        "TOL on at 580", "REF off at 499", "TOL off at 399"}));
    polarity = 0;
    walk({0});
    EXPECT_EQ(walk(risingThenFalling),
              (std::vector<std::string>{"TOL off at 420", "REF off at 520", "TOL on at 601",
                                        "TOL off at 580", "REF on at 499", "TOL on at 399"}));

    polarity = 1;
    reference = 50;
    hysteresis = 0;
    walk({0, 0});
    EXPECT_EQ(lowTHD, -50);
    EXPECT_EQ(led(PANEL_TOLLED), 1) << "0 lies inside -50..150";
}

TEST_F(LiveDisplayTest, NormLinesAreClampedAndFollowTheHardwareModeOnThePanel) {
    auto answer = [](int tolWord) {
        std::fill(pp, pp + PNUM, 0);
        const unsigned short live[] = {700, 10, 20, 4000, 0, 600, 400};
        std::copy(live, live + 7, pp);
        pp[7] = static_cast<unsigned short>(tolWord);
    };
    reference = 900;
    tolerance = 300;
    answer(50);
    SetCtrlVal(panelHandle, PANEL_HWMODE, 0);
    PlotNORMValues(arrayNORM);
    EXPECT_EQ(std::vector<double>(arrayNORM + 396, arrayNORM + 400),
              (std::vector<double>{1000, 600, 900, 700}));
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
    std::vector<int> shown;
    for (int id : {PANEL_VALNORM, PANEL_ADCCHA, PANEL_ADCCHB, PANEL_AMAX, PANEL_UPVAL, PANEL_LOVAL})
        shown.push_back(intValue(id));
    EXPECT_EQ(shown, (std::vector<int>{700, 10, 20, 4000, 600, 400}));

    answer(77);
    PlotRAWValues();
    EXPECT_EQ(wordValue(PANEL_TOLERANCE), 77) << "after a RAW plot the controller's own word";
}

class LiveRunTest : public StartedTest {
  protected:
    static bool dimmed(const char *name) { return !control(name)->isEnabled(); }
    // The run's flat lines at rest: band 2048 +- 512, nothing plotted, RAW empty.
    static void expectWindowsAtRest() {
        for (int k = 0; k < 100; ++k) {
            ASSERT_EQ(std::vector<double>(arrayNORM + 4 * k, arrayNORM + 4 * k + 4),
                      (std::vector<double>{2560, 1536, 2048, 0}))
                << k;
            ASSERT_EQ(arrayRAW[2 * k], 0);
        }
    }
};

TEST_F(LiveRunTest, AnswersScrollIntoTheNormWindowInOrderUntilStop) {
    std::vector<uint16_t> script;
    for (uint16_t v = 101; v <= 160; ++v)
        script.push_back(v);
    sim.scriptNorm(script);
    std::vector<double> window;
    bool dimmedDuringRun = false;

    runUntil(12, [&] {
        window.assign(arrayNORM, arrayNORM + 400);
        dimmedDuringRun = dimmed("PANEL_BTNRUN") && dimmed("PANEL_BTNDATA");
        press("PANEL_BTNSTOP");
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
    expectWindowsAtRest();
    EXPECT_FALSE(dimmed("PANEL_BTNRUN") || dimmed("PANEL_BTNDATA"));
    EXPECT_EQ(stop_flag, 1);
    EXPECT_EQ(status(), "Line Ok!");
}

// What the program does after a request went out (writing it to the frame log, or a pause of the
// process on a loaded machine) must not make the answer look as if it came before the request
// had reached the controller.
TEST_F(LiveRunTest, AnswersAreTakenWhenTheProgramPausesAfterEachRequest) {
    ObserveTraffic([](Traffic kind, const unsigned char *, int) {
        if (kind == TRAFFIC_SENT)
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
    });
    std::vector<uint16_t> script;
    for (uint16_t v = 201; v <= 260; ++v)
        script.push_back(v);
    sim.scriptNorm(script);
    std::vector<double> window;
    std::string during;
    // Nothing but the run itself wakes the loop until the stop.
    QTimer::singleShot(500, [&] {
        window.assign(arrayNORM, arrayNORM + 400);
        during = status();
        press("PANEL_BTNSTOP");
    });
    QTest::mouseClick(control<QAbstractButton>("PANEL_BTNRUN"), Qt::LeftButton);
    ObserveTraffic(nullptr);

    std::vector<int> values;
    for (int k = 0; k < 100; ++k)
        if (window[4 * k + 3] != 0)
            values.push_back(int(window[4 * k + 3]));
    ASSERT_GE(values.size(), 10u) << during;
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(values[i], 201 + int(i));
    EXPECT_EQ(during.find("dropped"), std::string::npos) << during;
}

TEST_F(LiveRunTest, StopWhileIdleSendsNothingAndResetsTheWindows) {
    SetCtrlAttribute(panelHandle, PANEL_BTNDATA, ATTR_DIMMED, 1);
    FillarrayNORM(10, 20, 30);
    arrayRAW[5] = 7;
    press("PANEL_BTNSTOP");

    EXPECT_TRUE(ordersReceived().empty());
    EXPECT_FALSE(dimmed("PANEL_BTNRUN") || dimmed("PANEL_BTNDATA"));
    expectWindowsAtRest();
}

TEST_F(LiveRunTest, ASilentControllerEndsTheRunAfterTwoSecondsAndKeepsDataDimmedUntilStop) {
    sim.setFaults(Fault(&kvsim::Faults::silent, true));
    const double start = Timer();
    runUntil(0, [] {});
    const double elapsed = Timer() - start;

    EXPECT_TRUE(saysNoAnswer(status(), "Timeout RS232-Line!")) << status();
    EXPECT_GT(elapsed, 2.0);
    EXPECT_LT(elapsed, 3.5) << "one time-out, not more";
    EXPECT_FALSE(dimmed("PANEL_BTNRUN"));
    EXPECT_TRUE(dimmed("PANEL_BTNDATA"));
    press("PANEL_BTNSTOP");
    EXPECT_FALSE(dimmed("PANEL_BTNDATA"));
}

TEST_F(LiveRunTest, AnAnswerArrivingAfterStopIsNeverPlotted) {
    sim.setFaults(Fault(&kvsim::Faults::lateSeconds, 0.02)); // the answer in flight at Stop
    runUntil(3, [] { press("PANEL_BTNSTOP"); });
    waitFor([] { return false; }, 0.3);
    EXPECT_EQ(GetInQLen(com), FRAME_BYTES) << "the late answer came, and waits on the line";

    sim.setFaults(Fault(&kvsim::Faults::silent, true));
    runUntil(0, [] {});
    ASSERT_TRUE(saysNoAnswer(status(), "Timeout RS232-Line!")) << status();
    for (int k = 0; k < 100; ++k)
        ASSERT_EQ(arrayNORM[4 * k + 3], 0) << k;
    EXPECT_EQ(arrayNORM[398], reference) << "the run's own flat lines, nothing plotted on them";
}

// A stray byte before every live answer: none is taken or plotted, each is counted and said,
// and the run goes on without a time-out.
TEST_F(LiveRunTest, LiveAnswersWithAStrayByteAreDroppedAndCountedNeverPlotted) {
    kvsim::Faults stray;
    stray.strayBytes = 1;
    stray.faultyOrder = ORDER_LIVE_VALUES;
    sim.setFaults(stray);
    bool plotted = false;
    std::string during;
    runUntil([&] {
        if (liveRequests() < 6)
            return false;
        for (int k = 0; k < 100; ++k)
            plotted |= arrayNORM[4 * k + 3] != 0;
        during = status();
        press("PANEL_BTNSTOP");
        return true;
    });
    EXPECT_FALSE(plotted);
    // On a loaded machine an answer's bytes may come in two looks: the count then takes in the
    // byte left over and the next answer's stray byte.
    EXPECT_TRUE(QString::fromStdString(during).contains(
        QRegularExpression("^read error: \\d+ stray bytes? with the 36-byte answer on COM1")))
        << during;
    EXPECT_NE(during.find("answers of this run dropped"), std::string::npos) << during;
    EXPECT_FALSE(saysNoAnswer(status(), "Timeout RS232-Line!")) << status();
}

// Stop cuts off the answer to the run's last request: a command right after it waits only for
// the line time that answer can still take, not for an answer's time-out.
TEST_F(LiveRunTest, ACommandRightAfterStopGoesOutWithinTheLastAnswersLineTime) {
    const std::pair<const char *, int> commands[] = {
        {"PANEL_BTNGET", ORDER_READ_RAM}, {"PANEL_BUTTONTEACH", ORDER_TEACH}, {"PANEL_BTNDATA", 9}};
    for (const auto &[button, order] : commands) {
        sim.clearRequests();
        kvsim::Clock::time_point stoppedAt{};
        runUntil([&, button = button] {
            // In the middle of a live answer.
            if (liveRequests() < 3 || GetInQLen(com) <= 0)
                return false;
            press("PANEL_BTNSTOP");
            stoppedAt = kvsim::Clock::now();
            press(button);
            return true;
        });
        const std::vector<kvsim::Request> asked = requestsOf({order});
        ASSERT_FALSE(asked.empty()) << button;
        const double ms =
            std::chrono::duration<double, std::milli>(asked.front().arrival - stoppedAt).count();
        EXPECT_LT(ms, 100) << button;
        EXPECT_NE(status().rfind("read error", 0), 0u) << button << ": " << status();
    }
}

TEST_F(LiveRunTest, TheGraphSourceRingSwitchesChartsDuringARun) {
    auto *ring = control<QComboBox>("PANEL_RNGGRAPHSOURCE");
    int switchedAt = 0;
    bool rawShown = false;
    runUntil([&] {
        if (switchedAt == 0 && liveRequests() >= 3) {
            switchedAt = liveRequests();
            ring->setCurrentIndex(0);
            emit ring->activated(0);
            rawShown =
                control("PANEL_RAWCHART")->isVisible() && !control("PANEL_NORMCHART")->isVisible();
        }
        if (switchedAt == 0 || liveRequests() < switchedAt + 4)
            return false;
        EXPECT_NE(arrayRAW[198], 0.0) << "channel A of the newest answer";
        EXPECT_EQ(arrayRAW[198], adcCHA);
        press("PANEL_BTNSTOP");
        return true;
    });
    EXPECT_TRUE(rawShown);
}

TEST_F(LiveRunTest, ClosingTheWindowEndsTheRunAndThenTheProgram) {
    runUntil(3, [] { window()->close(); });
    EXPECT_EQ(stop_flag, 1);
    EXPECT_FALSE(dimmed("PANEL_BTNRUN"));
    const double start = Timer();
    EXPECT_EQ(RunUserInterface(), 0);
    EXPECT_LT(Timer() - start, 0.5);
}

// A command pressed during a run takes the gap after the next answer: never inside the run's
// wait for one.
TEST_F(LiveRunTest, ACommandPressedDuringARunTakesTheGapBetweenTwoAnswersAndTheRunGoesOn) {
    int answersAfterGet = -1;
    runUntil([&] {
        if (answersAfterGet < 0 && liveRequests() >= 3) {
            press("PANEL_BTNGET");
            answersAfterGet = liveRequests();
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
    const std::vector<kvsim::Request> gets = requestsOf({2});
    const std::vector<kvsim::Request> lives = requestsOf({8});
    const auto next = std::find_if(lives.begin(), lives.end(), [&](const kvsim::Request &live) {
        return live.arrival > gets.front().arrival;
    });
    ASSERT_NE(next, lives.end());
    EXPECT_GT(std::chrono::duration<double>(next->arrival - gets.front().arrival).count(),
              2 * FRAME_BYTES * BYTE_S)
        << "the run's next request waited for the get's answer";
    EXPECT_TRUE(statusHistory.contains("Data Transfer Ok!"));
    EXPECT_EQ(ProgramParameters(), WordsOf(sim.ram()));
    EXPECT_FALSE(saysNoAnswer(status(), "Timeout RS232-Line!")) << status();
}

TEST_F(LiveRunTest, ATeachPressedDuringARunSendsThePanelsSetNotTheLiveAnswersWords) {
    const std::vector<int> set = {600, 1000, 300, 10, 0, 50, 1, 4, 0, 0, 900, 0, 400, 0, 0, 7};
    SetProgramParameters(set);
    SetPanelValues();
    bool pressed = false;
    runUntil([&] {
        if (!pressed && liveRequests() >= 3) {
            pressed = true;
            press("PANEL_BUTTONTEACH");
        }
        if (!pressed || requestsOf({2}).empty())
            return false;
        press("PANEL_BTNSTOP");
        return true;
    });
    const std::vector<kvsim::Request> teach = requestsOf({6});
    ASSERT_EQ(teach.size(), 1u);
    std::vector<int> shown = set;
    shown[2] = wordValue(PANEL_TOLERANCE); // a RAW run shows the controller's own tolerance
    EXPECT_EQ(WordsOf(teach.front().words), shown);
}

// Else no button would be ticked and the writes would go on to the EEPROM.
TEST_F(LiveRunTest, AnUntickedTargetButtonHandsOverToRam) {
    press("PANEL_RBTEEPROM");
    ASSERT_EQ(target, EEPROM);
    press("PANEL_RBTEEPROM");
    EXPECT_EQ(intValue(PANEL_RBTRAM), 1);
    EXPECT_EQ(target, RAM);
}

TEST_F(LiveRunTest, AChangeToAPortThatCannotBeOpenedSaysSoAndKeepsTheNewNumber) {
    setenv("KELVARO_COM2", "/nonexistent/kelvaro-tty", 1);
    pickPort(2);
    unsetenv("KELVARO_COM2");

    EXPECT_EQ(com, 2);
    EXPECT_TRUE(statusHistory.contains("Init COM-Port ..."));
    EXPECT_EQ(status().rfind("Cannot open port", 0), 0u) << status();
    press("PANEL_BUTTONRESET");
    EXPECT_TRUE(ordersReceived().empty()) << "later commands go to the new number";
}
