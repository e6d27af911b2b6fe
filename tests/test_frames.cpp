// Frames, the parameter image and the text conversions, checked byte for byte.
#include "KELVARO1V10.h"
#include "com232.h"

#include "serial.h"
#include "utility.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kelvaro;

namespace {

std::vector<int> sentBytes() {
    return std::vector<int>(szWriteBuf, szWriteBuf + FRAME_BYTES);
}

void setDefaultParameters() {
    const unsigned short defaults[PNUM] = {500, 2048, 512, 20, 1,   100, 1, 8,
                                           0,   0,    950, 0,  500, 0,   0, 0};
    std::copy(defaults, defaults + PNUM, pp);
    CopyPPtoVars();
}

void receive(const std::vector<int> &bytes) {
    std::fill(szReadBuf, szReadBuf + BUFFER_BYTES, 0);
    std::copy(bytes.begin(), bytes.end(), szReadBuf);
}

} // namespace

TEST(Frame, TeachFrameOfTheDefaultsMatchesTheWorkedExample) {
    setDefaultParameters();
    kelvaro::sync = 85;
    CopyVarsToPP();
    FillTxBuf(6, pp);
    const std::vector<int> expected = {0x00, 0x55, 0x00, 0x06, 0x01, 0xF4, 0x08, 0x00, 0x02,
                                       0x00, 0x00, 0x14, 0x00, 0x01, 0x00, 0x64, 0x00, 0x01,
                                       0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x03, 0xB6, 0x00,
                                       0x00, 0x01, 0xF4, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(sentBytes(), expected);
}

TEST(Frame, WordsWithTheTopBitSetCrossUnchangedBothWays) {
    unsigned short words[PNUM] = {0xFFFF, 0x8000, 0x7FFF, 0x0001};
    kelvaro::sync = 85;
    FillTxBuf(0x1234, words);
    EXPECT_EQ(sentBytes()[2], 0x12);
    EXPECT_EQ(sentBytes()[3], 0x34);
    EXPECT_EQ(std::vector<int>(szWriteBuf + 4, szWriteBuf + 12),
              (std::vector<int>{0xFF, 0xFF, 0x80, 0x00, 0x7F, 0xFF, 0x00, 0x01}));

    receive({0xAB, 0xCD, 0x00, 0x08, 0x80, 0x00, 0xFF, 0xFF});
    GetRxBuf(PNUM);
    EXPECT_EQ(order, 8);
    EXPECT_EQ(pp[0], 32768);
    EXPECT_EQ(pp[1], 65535);
}

TEST(Frame, ParsingBelowSixteenWordsLeavesTheHigherWords) {
    std::fill(pp, pp + PNUM, 0x1111);
    std::vector<int> answer(FRAME_BYTES, 0x22);
    answer[2] = 0x00;
    answer[3] = 0x63;
    receive(answer);
    GetRxBuf(4);
    EXPECT_EQ(order, 99);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(pp[i], 0x2222) << i;
    for (int i = 4; i < PNUM; ++i)
        EXPECT_EQ(pp[i], 0x1111) << i;
}

TEST(Status, OpenErrorsHaveTheirTexts) {
    EXPECT_STREQ(ComErrorText(COM_UNKNOWN_SYSTEM_ERROR), "Unknown system error");
    EXPECT_STREQ(ComErrorText(COM_INVALID_PORT_NUMBER), "Invalid port number");
    EXPECT_STREQ(ComErrorText(COM_PORT_NOT_OPEN), "Port is not open");
    EXPECT_STREQ(ComErrorText(COM_IO_ERROR), "Unknown I/0 error");
    EXPECT_STREQ(ComErrorText(COM_NO_SERIAL_PORT), "No serial port found");
    EXPECT_STREQ(ComErrorText(COM_CANNOT_OPEN_PORT), "Cannot open port");
    EXPECT_STREQ(ComErrorText(COM_INVALID_PARAMETER), "Invalid parameter");
    EXPECT_STREQ(ComErrorText(COM_TIMEOUT), "Timeout");
    for (int code : {-5, -8, -12, -14, -100})
        EXPECT_STREQ(ComErrorText(code), "RS-232 error!") << code;
}

TEST(FirmwareText, BytesGoHighFirstAndStopAtTheFirstNul) {
    char text[64];
    const int words[4] = {'K' << 8 | 'E', 'L' << 8 | '-', 'V' << 8 | 0, 'X' << 8 | 'Y'};
    EXPECT_EQ(FmtWordsAsText(text, sizeof text, words, 4), 5);
    EXPECT_STREQ(text, "KEL-V");
}

TEST(FirmwareText, UnprintableBytesAreReplacedAndTheTextStaysTerminated) {
    char text[64];
    int words[32];
    for (int &w : words)
        w = 'A' << 8 | 'B';
    words[1] = 0x07 << 8 | 0xFF;
    EXPECT_EQ(FmtWordsAsText(text, sizeof text, words, 32), 63);
    EXPECT_EQ(text[63], '\0');
    EXPECT_EQ(std::string(text, 4), "AB??");
}
