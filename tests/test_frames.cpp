// Frames, the parameter image and the text conversions, checked byte for byte.
#include "program_fixture.h"

#include "utility.h"

#include <string>
#include <vector>

using namespace kelvaro;

namespace {

std::vector<int> sentBytes() {
    return std::vector<int>(szWriteBuf, szWriteBuf + FRAME_BYTES);
}

void receive(const std::vector<int> &bytes) {
    std::fill(szReadBuf, szReadBuf + BUFFER_BYTES, 0);
    std::copy(bytes.begin(), bytes.end(), szReadBuf);
}

} // namespace

TEST(Frame, TeachFrameOfTheDefaultsMatchesTheWorkedExample) {
    SetProgramParameters(DEFAULT_SET);
    kelvaro::sync = 85;
    CopyVarsToPP();
    FillTxBuf(ORDER_TEACH, pp);
    EXPECT_EQ(sentBytes(), TEACH_FRAME_OF_DEFAULTS);
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
