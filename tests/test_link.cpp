// Frames byte for byte and the text conversions; then the port set-up, line check, parameter and
// firmware reads over a real pseudo-terminal against the simulated controller, with the line's
// faults.
#include "program_fixture.h"

#include "utility.h"

#include <string>
#include <vector>

using namespace kelvaro;

TEST(Frame, TeachFrameOfTheDefaultsMatchesTheWorkedExample) {
    SetProgramParameters(DEFAULT_SET);
    CopyVarsToPP();
    unsigned char frame[FRAME_BYTES];
    EncodeFrame(ORDER_TEACH, pp, frame);
    EXPECT_EQ(std::vector<int>(frame, frame + FRAME_BYTES), TEACH_FRAME_OF_DEFAULTS);
}

TEST(Frame, WordsWithTheTopBitSetCrossUnchangedBothWays) {
    unsigned short words[PNUM] = {0xFFFF, 0x8000, 0x7FFF, 0x0001};
    unsigned char frame[FRAME_BYTES];
    EncodeFrame(0x1234, words, frame);
    EXPECT_EQ(
        std::vector<int>(frame, frame + 12),
        (std::vector<int>{0x00, 0x55, 0x12, 0x34, 0xFF, 0xFF, 0x80, 0x00, 0x7F, 0xFF, 0x00, 0x01}));

    const std::vector<int> answer = {0xAB, 0xCD, 0x00, 0x08, 0x80, 0x00, 0xFF, 0xFF};
    std::fill(szReadBuf, szReadBuf + BUFFER_BYTES, 0);
    std::copy(answer.begin(), answer.end(), szReadBuf);
    GetRxBuf(PNUM);
    EXPECT_EQ(order, 8);
    EXPECT_EQ(pp[0], 32768);
    EXPECT_EQ(pp[1], 65535);
}

TEST(FirmwareText, StopsAtTheFirstNulReplacesUnprintableBytesAndStaysTerminated) {
    char text[64];
    const int words[4] = {'K' << 8 | 'E', 'L' << 8 | '-', 'V' << 8 | 0, 'X' << 8 | 'Y'};
    EXPECT_EQ(FmtWordsAsText(text, sizeof text, words, 4), 5) << "high byte first";
    EXPECT_STREQ(text, "KEL-V");

    int many[32];
    std::fill(many, many + 32, 'A' << 8 | 'B');
    many[1] = 0x07 << 8 | 0xFF;
    EXPECT_EQ(FmtWordsAsText(text, sizeof text, many, 32), 63);
    EXPECT_EQ(text[63], '\0');
    EXPECT_EQ(std::string(text, 4), "AB??");
}

TEST_F(LinkTest, StartUpReadsTheControllerRamOntoThePanelAndShowsItsFirmware) {
    const kvsim::Words simRam = sim.ram();
    ASSERT_NE(WordsOf(simRam), DEFAULT_SET);
    target = EEPROM;

    InitRS232(com);

    EXPECT_EQ(ordersReceived(), (std::vector<int>{5, 2, 7}));
    EXPECT_EQ(ProgramParameters(), WordsOf(simRam));
    EXPECT_EQ(PanelParameters(), std::vector<int>(simRam.begin(), simRam.begin() + 13));
    EXPECT_EQ(target, RAM);
    EXPECT_STREQ(szVersion, kvsim::FIRMWARE_TEXT);
    EXPECT_EQ(statusHistory,
              (QStringList{"Echo Check - Line Ok!", "Waiting for parameter-frame ...",
                           "Parameter-frame received! - Line Ok!", "Waiting for firmware info ...",
                           kvsim::FIRMWARE_TEXT}));
    EXPECT_EQ(rx_flag, 0);
}

TEST_F(LinkTest, ASilentOrWronglyEchoingControllerFailsTheLineCheckAndNothingElseIsRead) {
    sim.setFaults(Fault(&kvsim::Faults::silent, true));
    const double start = Timer();
    InitRS232(com);
    const double elapsed = Timer() - start;
    EXPECT_TRUE(saysNoAnswer(status(), "Timeout < 36 Bytes")) << status();
    EXPECT_GE(elapsed, 2.05);
    EXPECT_LT(elapsed, 3.5) << "one time-out, not more";
    EXPECT_EQ(ordersReceived(), std::vector<int>{5});
    EXPECT_EQ(ProgramParameters(), DEFAULT_SET);
    EXPECT_EQ(PanelParameters(), std::vector<int>(DEFAULT_SET.begin(), DEFAULT_SET.begin() + 13));

    CloseCom(com);
    sim.clearRequests();
    sim.setFaults(Fault(&kvsim::Faults::wrongEcho, true));
    InitRS232(com);
    EXPECT_EQ(status(), "read error - not sync byte 0xAA!");
    EXPECT_EQ(ordersReceived(), std::vector<int>{5});
    EXPECT_EQ(ProgramParameters(), DEFAULT_SET);
}

TEST_F(LinkTest, AShortOrOverlongFirmwareTextIsNotTakenAndSaysWhy) {
    sim.setFaults(Fault(&kvsim::Faults::firmwareBytes, 40));
    InitRS232(com);
    EXPECT_EQ(ProgramParameters(), WordsOf(sim.ram()));
    EXPECT_STREQ(szVersion, "");
    EXPECT_TRUE(
        saysNoAnswer(status(), "Error reading firmware-info!: Timeout - reading firmware info!"))
        << status();

    CloseLine();
    sim.clearRequests();
    kvsim::Faults overlong;
    overlong.extraBytes = 9;
    overlong.faultyOrder = ORDER_FIRMWARE;
    sim.setFaults(overlong);
    InitRS232(com);
    EXPECT_EQ(ordersReceived(), (std::vector<int>{5, 2, 7}));
    EXPECT_STREQ(szVersion, "");
    const std::string fixed = "Error reading firmware-info!: read error: 9 stray bytes with the "
                              "64-byte firmware text on COM1: ";
    EXPECT_EQ(status().rfind(fixed + link, 0), 0u) << status();
}

// Nothing in an answer says where it starts, so a stray byte before it, or bytes after it, make a
// read error that changes nothing; the next exchange starts on a clean line.
TEST_F(LinkTest, StrayBytesAroundAnAnswerChangeNothingAndTheNextExchangeIsClean) {
    InitRS232(com);
    const std::vector<int> before = ProgramParameters();
    kvsim::Words changed = sim.ram();
    changed[0] = 4321;
    sim.setRam(changed);
    const std::pair<int kvsim::Faults::*, const char *> faults[] = {
        {&kvsim::Faults::strayBytes, "1 stray byte"},
        {&kvsim::Faults::extraBytes, "7 stray bytes"}};
    for (const auto &[fault, stray] : faults) {
        sim.setFaults(Fault(fault, fault == &kvsim::Faults::strayBytes ? 1 : 7));
        PushGET(RAM);
        const std::string fixed = std::string("read error: ") + stray + " with the 36-byte answer";
        EXPECT_EQ(status().rfind(fixed + " on COM1: " + link, 0), 0u) << status();
        EXPECT_EQ(ProgramParameters(), before);
        EXPECT_EQ(PanelParameters(), std::vector<int>(before.begin(), before.begin() + 13));
    }

    sim.setFaults({});
    PushGET(RAM);
    EXPECT_EQ(status(), "Parameter-frame received! - Line Ok!");
    EXPECT_EQ(power, 4321);
}
