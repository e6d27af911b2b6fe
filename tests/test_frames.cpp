// Frames, the parameter image and the text conversions, checked byte for byte.
#include "program_fixture.h"

#include "utility.h"

#include <string>
#include <vector>

using namespace kelvaro;

TEST(Frame, TeachFrameOfTheDefaultsMatchesTheWorkedExample) {
    SetProgramParameters(DEFAULT_SET);
    kelvaro::sync = 85;
    CopyVarsToPP();
    FillTxBuf(ORDER_TEACH, pp);
    EXPECT_EQ(std::vector<int>(szWriteBuf, szWriteBuf + FRAME_BYTES), TEACH_FRAME_OF_DEFAULTS);
}

TEST(Frame, WordsWithTheTopBitSetCrossUnchangedBothWays) {
    unsigned short words[PNUM] = {0xFFFF, 0x8000, 0x7FFF, 0x0001};
    kelvaro::sync = 85;
    FillTxBuf(0x1234, words);
    EXPECT_EQ(std::vector<int>(szWriteBuf + 2, szWriteBuf + 12),
              (std::vector<int>{0x12, 0x34, 0xFF, 0xFF, 0x80, 0x00, 0x7F, 0xFF, 0x00, 0x01}));

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
