// Tests of kelvaro-sim's own parts that the program's tests do not reach: flash addresses outside
// pages 4 to 7, resynchronisation on a broken stream, the EEPROM file.
#include "kelvaro_sim.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace kvsim;
using std::chrono::milliseconds;

namespace {

// Frames are built and read here by hand, so a fault in the simulator's own frame code shows.
Bytes frameBytes(uint16_t order, const std::vector<uint16_t> &words = {}) {
    Bytes bytes{0x00, 0x55, static_cast<uint8_t>(order >> 8), static_cast<uint8_t>(order)};
    for (std::size_t i = 0; i < 16; ++i) {
        const uint16_t word = i < words.size() ? words[i] : 0;
        bytes.push_back(static_cast<uint8_t>(word >> 8));
        bytes.push_back(static_cast<uint8_t>(word));
    }
    return bytes;
}

Frame requestFrame(uint16_t order, const std::vector<uint16_t> &words = {}) {
    Frame frame{};
    const Bytes bytes = frameBytes(order, words);
    std::copy(bytes.begin(), bytes.end(), frame.begin());
    return frame;
}

// The payload words of the answer to one request.
std::vector<uint16_t> ask(Controller &controller, uint16_t order,
                          const std::vector<uint16_t> &words = {}) {
    const std::optional<Bytes> answer = controller.handle(requestFrame(order, words));
    EXPECT_TRUE(answer.has_value()) << "order " << order;
    std::vector<uint16_t> payload;
    for (std::size_t i = 4; answer && i + 1 < answer->size(); i += 2)
        payload.push_back(static_cast<uint16_t>((*answer)[i] << 8 | (*answer)[i + 1]));
    return payload;
}

} // namespace

TEST(ControllerFlash, BlocksOutsidePagesFourToSevenAreRefusedAndTheAddressRunsOnToTheNextPage) {
    Controller controller;
    for (uint16_t outside : {0x1300, 0x13F0, 0x1800, 0x17F8}) {
        ask(controller, FLASH_INFO, {0, outside});
        EXPECT_EQ(ask(controller, FLASH_DATA, {1, 2, 3})[0], 0) << "address " << outside;
    }
    EXPECT_EQ(controller.flashPage(7)[0xF8], 0xFFFF);
    EXPECT_EQ(ask(controller, FLASH_INFO, {0, 0x15F0})[0], 0x00AA);
    EXPECT_EQ(ask(controller, FLASH_DATA, {0x8001})[0], 2);
    EXPECT_EQ(controller.flashPage(5)[0xF0], 0x8001);
    EXPECT_EQ(ask(controller, FLASH_DATA, {0x8002})[0], 1) << "the address ran on into page 6";
    EXPECT_EQ(controller.flashPage(6)[0], 0x8002);
}

TEST(FrameReader, ResynchronisesAfterGarbageAndCountsBadFrames) {
    FrameReader reader;
    Frame frame{};
    Clock::time_point firstByte;
    const Bytes garbage = {0x12, 0x00, 0x00, 0x34, 0x00};
    const Bytes request = frameBytes(READ_RAM, {1, 2});
    reader.push(garbage.data(), garbage.size(), Clock::time_point(milliseconds(1)));
    for (std::size_t i = 0; i < request.size(); ++i)
        reader.push(&request[i], 1, Clock::time_point(milliseconds(10 + i)));
    ASSERT_TRUE(reader.next(&frame, &firstByte));
    EXPECT_EQ(frame, requestFrame(READ_RAM, {1, 2}));
    EXPECT_EQ(firstByte, Clock::time_point(milliseconds(10))) << "the 0x00 that starts the frame";
    EXPECT_EQ(reader.badFrames(), 1u);

    reader.push(request.data(), 20, Clock::time_point(milliseconds(100)));
    EXPECT_FALSE(reader.next(&frame, &firstByte));
    reader.dropPartial();
    EXPECT_EQ(reader.badFrames(), 2u);
    reader.push(request.data(), request.size(), Clock::time_point(milliseconds(300)));
    EXPECT_TRUE(reader.next(&frame, &firstByte));
    EXPECT_FALSE(reader.next(&frame, &firstByte));

    Controller controller;
    EXPECT_FALSE(controller.handle(requestFrame(99)).has_value()) << "an unknown order";
    EXPECT_EQ(controller.badFrames(), 1u);
}

TEST(EepromFile, SurvivesARestartAndRejectsBadContent) {
    char name[] = "/tmp/kvsim-test-XXXXXX";
    const std::filesystem::path dir = mkdtemp(name);
    const std::string file = dir / "eeprom.dat";
    const std::vector<uint16_t> words = {65535, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0};
    {
        Controller first;
        ASSERT_TRUE(first.attachEepromFile(file, nullptr));
        ask(first, WRITE_EEPROM, words);
    }
    std::ifstream in(file);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content.substr(0, 9), "65535\n1\n2");
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));

    Controller second;
    ASSERT_TRUE(second.attachEepromFile(file, nullptr));
    EXPECT_EQ(ask(second, READ_EEPROM), words);

    for (const char *bad :
         {"1 2 3\n", "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n12\n13\n14\n15\n70000\n"}) {
        std::ofstream(file) << bad;
        Controller third;
        std::string error;
        EXPECT_FALSE(third.attachEepromFile(file, &error));
        EXPECT_NE(error.find(file), std::string::npos);
    }
    std::filesystem::remove_all(dir);
}
