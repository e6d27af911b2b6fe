// Port set-up, line check, parameter and firmware reads over a real pseudo-terminal against the
// simulated controller, the faults of the line included.
#include "program_fixture.h"

#include "utility.h"

#include <QLineEdit>

using namespace kelvaro;

TEST_F(LinkTest, StartUpReadsTheControllerRamOntoThePanelAndShowsItsFirmware) {
    const kvsim::Words simRam = sim.ram();
    ASSERT_NE(WordsOf(simRam), DEFAULT_SET);
    target = EEPROM;

    InitRS232(com);

    EXPECT_EQ(ordersReceived(), (std::vector<int>{5, 2, 7}));
    EXPECT_EQ(ProgramParameters(), WordsOf(simRam));
    const std::vector<int> shown = PanelParameters();
    EXPECT_EQ(shown, std::vector<int>(simRam.begin(), simRam.begin() + 13));
    EXPECT_EQ(target, RAM);
    EXPECT_EQ(status(), kvsim::FIRMWARE_TEXT);
    EXPECT_STREQ(szVersion, kvsim::FIRMWARE_TEXT);
    EXPECT_EQ(statusHistory,
              (QStringList{"Echo Check - Line Ok!", "Waiting for parameter-frame ...",
                           "Parameter-frame received! - Line Ok!", "Waiting for firmware info ...",
                           kvsim::FIRMWARE_TEXT}));
    EXPECT_EQ(rx_flag, 0);
}

TEST_F(LinkTest, ASilentControllerFailsTheLineCheckAfterItsTimeOutAndNothingElseIsRead) {
    kvsim::Faults silent;
    silent.silent = true;
    sim.setFaults(silent);

    const double start = Timer();
    InitRS232(com);
    const double elapsed = Timer() - start;

    EXPECT_EQ(status(), "Timeout < 36 Bytes");
    EXPECT_GE(elapsed, 2.05);
    EXPECT_LT(elapsed, 3.5) << "one time-out, not more";
    EXPECT_EQ(ordersReceived(), std::vector<int>{5});
    EXPECT_EQ(ProgramParameters(), DEFAULT_SET);
    EXPECT_EQ(PanelParameters(), std::vector<int>(DEFAULT_SET.begin(), DEFAULT_SET.begin() + 13));
}

TEST_F(LinkTest, AWrongEchoWordIsNotALine) {
    kvsim::Faults wrongEcho;
    wrongEcho.wrongEcho = true;
    sim.setFaults(wrongEcho);

    InitRS232(com);

    EXPECT_EQ(status(), "read error - not sync byte 0xAA!");
    EXPECT_EQ(ordersReceived(), std::vector<int>{5});
    EXPECT_EQ(ProgramParameters(), DEFAULT_SET);
}

TEST_F(LinkTest, AShortFirmwareTextTimesOutAndIsReportedAsAnError) {
    kvsim::Faults shortText;
    shortText.firmwareBytes = 40;
    sim.setFaults(shortText);

    InitRS232(com);

    EXPECT_EQ(ProgramParameters(), WordsOf(sim.ram()));
    EXPECT_STREQ(szVersion, "");
    ASSERT_GE(statusHistory.size(), 2);
    EXPECT_EQ(statusHistory.at(statusHistory.size() - 2), "Timeout - reading firmware info!");
    EXPECT_EQ(status(), "Error reading firmware-info!");
}

TEST_F(LinkTest, TheReceiveCallbackRunsOnlyWhileEventsAreProcessed) {
    InitRS232(com);
    rx_flag = 0;
    SendFrame(com, ORDER_READ_RAM, pp);

    const double start = Timer();
    while (GetInQLen(com) < FRAME_BYTES && Timer() - start < 2.0) {
    }
    EXPECT_EQ(GetInQLen(com), FRAME_BYTES);
    EXPECT_EQ(rx_flag, 0);

    ProcessSystemEvents();
    EXPECT_EQ(rx_flag, 1);
    EXPECT_EQ(graphrefresh, 1);
    EXPECT_EQ(GetInQLen(com), 0);
    EXPECT_EQ(std::vector<int>(pp, pp + PNUM), WordsOf(sim.ram()));
}

TEST_F(LinkTest, CallbackEventsWithoutTheReceiveBitChangeNothing) {
    InitRS232(com);
    rx_flag = 0;
    graphrefresh = 0;
    order = 42;
    std::fill(pp, pp + PNUM, 7);

    RX_Receive_Function(com, LWRS_RXFLAG | LWRS_TXEMPTY, nullptr);

    EXPECT_EQ(rx_flag, 0);
    EXPECT_EQ(graphrefresh, 0);
    EXPECT_EQ(order, 42);
    EXPECT_EQ(std::vector<int>(pp, pp + PNUM), std::vector<int>(PNUM, 7));
}

TEST_F(LinkTest, WaitingWithAnAnswerAlreadyInReturnsAtOnce) {
    InitRS232(com);
    rx_flag = 1;
    const double start = Timer();
    EXPECT_EQ(WaitRxFull(), 1);
    EXPECT_LT(Timer() - start, 0.5);
}

TEST_F(UnpacedLinkTest, BytesAfterAnAnswerFrameAreDiscarded) {
    InitRS232(com);
    kvsim::Faults extra;
    extra.extraBytes = 7;
    sim.setFaults(extra);

    kvsim::Words changed = sim.ram();
    changed[0] = 4321;
    sim.setRam(changed);
    PushGET(RAM);
    EXPECT_EQ(power, 4321);
    EXPECT_EQ(status(), "Parameter-frame received! - Line Ok!");
    EXPECT_EQ(GetInQLen(com), 0);
}

TEST_F(UnpacedLinkTest, AnOverlongFirmwareReplyLeavesTheTextEmptyAndTheStatusAsItWas) {
    kvsim::Faults extra;
    extra.extraBytes = 9;
    sim.setFaults(extra);

    InitRS232(com);

    EXPECT_EQ(ordersReceived(), (std::vector<int>{5, 2, 7}));
    EXPECT_STREQ(szVersion, "");
    EXPECT_EQ(status(), "Parameter-frame received! - Line Ok!")
        << "73 bytes are not a firmware text, and not a time-out either";
    EXPECT_FALSE(statusHistory.contains("Error reading firmware-info!"));
}
