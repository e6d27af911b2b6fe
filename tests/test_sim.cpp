// Tests of kelvaro-sim: its answers byte for byte, resynchronisation, the EEPROM file, and the
// server on a real pseudo-terminal with its fault switches.
#include "kelvaro_sim.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <random>
#include <termios.h>
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
    const Bytes bytes = frameBytes(order, words);
    Frame frame{};
    std::copy(bytes.begin(), bytes.end(), frame.begin());
    return frame;
}

std::vector<uint16_t> wordsOf(const Bytes &bytes, std::size_t from = 4) {
    std::vector<uint16_t> words;
    for (std::size_t i = from; i + 1 < bytes.size(); i += 2) {
        words.push_back(static_cast<uint16_t>(bytes[i] << 8 | bytes[i + 1]));
    }
    return words;
}

Bytes ask(Controller &controller, uint16_t order, const std::vector<uint16_t> &words = {}) {
    const std::optional<Bytes> reply = controller.handle(requestFrame(order, words));
    EXPECT_TRUE(reply.has_value()) << "order " << order;
    return reply.value_or(Bytes{});
}

std::vector<uint16_t> toVector(const Words &words) {
    return {words.begin(), words.end()};
}

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        char name[] = "/tmp/kvsim-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

// The program's side of the line: the link opened as a plain raw serial device.
class Port {
  public:
    explicit Port(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios line{};
        if (fd_ >= 0 && tcgetattr(fd_, &line) == 0) {
            cfmakeraw(&line);
            tcsetattr(fd_, TCSANOW, &line);
        }
    }
    ~Port() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    bool isOpen() const { return fd_ >= 0; }
    bool send(const Bytes &bytes) {
        return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Whatever arrives until count bytes are in or the limit has passed.
    Bytes receive(std::size_t count, milliseconds limit) {
        Bytes bytes;
        const auto deadline = Clock::now() + limit;
        while (bytes.size() < count && Clock::now() < deadline) {
            pollfd wait{fd_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            if (poll(&wait, 1, static_cast<int>(left.count()) + 1) > 0) {
                uint8_t chunk[256];
                const ssize_t got = read(fd_, chunk, sizeof chunk);
                if (got > 0) {
                    bytes.insert(bytes.end(), chunk, chunk + got);
                }
            }
        }
        return bytes;
    }

  private:
    int fd_;
};

const std::vector<uint16_t> PROGRAM_DEFAULTS = {500, 2048, 512, 20, 1,   100, 1, 8,
                                                0,   0,    950, 0,  500, 0,   0, 0};

} // namespace

TEST(ControllerParameters, RamEepromTeachAndReset) {
    Controller controller;
    const Bytes factoryAnswer = {0x00, 0x55, 0x00, 0x02, 0x02, 0x58, 0x01, 0xF4, 0x00,
                                 0x64, 0x00, 0x14, 0x00, 0x01, 0x00, 0x64, 0x00, 0x00,
                                 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x03, 0x84, 0x00,
                                 0x00, 0x00, 0xFA, 0x00, 0x0D, 0x00, 0x0E, 0x00, 0x0F};
    EXPECT_EQ(ask(controller, READ_RAM), factoryAnswer);
    EXPECT_NE(toVector(Controller::factorySet()), PROGRAM_DEFAULTS);
    EXPECT_EQ(wordsOf(ask(controller, READ_EEPROM)), toVector(Controller::factorySet()));

    const std::vector<uint16_t> ram = {1, 0x8000, 0xFFFF, 4,  5,  6,  7,  8,
                                       9, 10,     11,     12, 13, 14, 15, 16};
    const std::vector<uint16_t> eeprom = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
    EXPECT_TRUE(ask(controller, WRITE_RAM, ram).empty());
    EXPECT_TRUE(ask(controller, WRITE_EEPROM, eeprom).empty());
    EXPECT_EQ(ask(controller, READ_RAM), frameBytes(READ_RAM, ram));
    EXPECT_EQ(ask(controller, READ_EEPROM), frameBytes(READ_EEPROM, eeprom));

    const uint16_t presentNorm = wordsOf(ask(controller, LIVE_VALUES))[0];
    const Bytes taught = ask(controller, TEACH, PROGRAM_DEFAULTS);
    std::vector<uint16_t> expected = ram;
    expected[1] = controller.ram()[1];
    EXPECT_NEAR(expected[1], presentNorm, 5) << "teach takes the NORM value, not a payload word";
    EXPECT_EQ(taught, frameBytes(TEACH, expected));

    EXPECT_EQ(ask(controller, RESET, PROGRAM_DEFAULTS),
              frameBytes(RESET, toVector(Controller::factorySet())));
    EXPECT_EQ(controller.ram(), Controller::factorySet());
    EXPECT_EQ(controller.requestCount(), 9u);
}

TEST(ControllerAnswers, LineCheckFirmwareAndAnswerFaults) {
    Controller controller;
    EXPECT_EQ(ask(controller, LINE_CHECK, PROGRAM_DEFAULTS), frameBytes(LINE_CHECK, {0x00AA}));

    const Bytes firmware = ask(controller, FIRMWARE);
    ASSERT_EQ(firmware.size(), 64u);
    const std::string text(firmware.begin(), firmware.begin() + 38);
    EXPECT_EQ(text, "KEL-VA-RO1 simulated controller FW 1.0");
    EXPECT_TRUE(
        std::all_of(firmware.begin() + 38, firmware.end(), [](uint8_t b) { return b == 0; }));

    Faults faults;
    faults.wrongEcho = true;
    faults.firmwareBytes = 10;
    faults.extraBytes = 2;
    controller.setFaults(faults);
    Bytes echo = ask(controller, LINE_CHECK);
    ASSERT_EQ(echo.size(), 38u);
    EXPECT_EQ(echo[4], 0xAA);
    EXPECT_EQ(echo[5], 0x00);
    EXPECT_EQ(echo[36], EXTRA_BYTE);
    EXPECT_EQ(echo[37], EXTRA_BYTE);
    EXPECT_EQ(ask(controller, FIRMWARE),
              Bytes({'K', 'E', 'L', '-', 'V', 'A', '-', 'R', 'O', '1', EXTRA_BYTE, EXTRA_BYTE}));
    EXPECT_TRUE(ask(controller, WRITE_RAM).empty()) << "extra bytes follow answers only";

    faults = Faults{};
    faults.silentFromRequest = static_cast<long>(controller.requestCount()) + 1;
    controller.setFaults(faults);
    EXPECT_EQ(ask(controller, READ_RAM).size(), 36u);
    EXPECT_TRUE(ask(controller, READ_RAM).empty());
    EXPECT_TRUE(ask(controller, WRITE_RAM, {77}).empty());
    EXPECT_EQ(controller.ram()[0], 77) << "a mute controller still acts on its orders";
    faults = Faults{};
    faults.silent = true;
    controller.setFaults(faults);
    EXPECT_TRUE(ask(controller, LINE_CHECK).empty());
}

TEST(ControllerAnswers, LiveValuesLayoutAndScriptedNorm) {
    Controller controller;
    Words ram = Controller::factorySet();
    ram[1] = 50; // reference below the tolerance: the lower line stops at 0
    ram[2] = 80;
    controller.setRam(ram);
    controller.scriptNorm({7, 1000, 65535});
    uint16_t lastAmax = 0;
    for (int i = 0; i < 20; ++i) {
        const Bytes answer = ask(controller, LIVE_VALUES);
        ASSERT_EQ(answer.size(), 36u);
        EXPECT_EQ(answer[3], LIVE_VALUES);
        const std::vector<uint16_t> w = wordsOf(answer);
        const uint16_t a = w[1], b = w[2], amax = w[3], bmax = w[4];
        EXPECT_LE(a, amax);
        EXPECT_LE(b, bmax);
        EXPECT_LE(amax, 4095);
        EXPECT_LE(bmax, 4095);
        EXPECT_GE(amax, lastAmax);
        lastAmax = amax;
        const std::vector<uint16_t> scripted = {7, 1000, 65535};
        EXPECT_EQ(w[0], i < 3 ? scripted[i] : a * 1000 / amax) << "answer " << i;
        EXPECT_EQ(std::vector<uint16_t>(w.begin() + 5, w.end()),
                  std::vector<uint16_t>({130, 0, 80, 0, 0, 0, 0, 0, 0, 0, 0}));
    }
}

TEST(ControllerAnswers, CurveBlocksLandAtTheirOffsetsWithoutHeader) {
    Controller controller;
    auto block = [&](uint16_t offset, uint16_t source) {
        const Bytes reply = ask(controller, CURVE_BLOCK, {offset, source});
        EXPECT_EQ(reply.size(), 128u) << "offset " << offset;
        return wordsOf(reply, 0);
    };
    std::vector<uint16_t> raw;
    for (uint16_t offset : {0, 64, 128, 192}) {
        const std::vector<uint16_t> words = block(offset, 0);
        raw.insert(raw.end(), words.begin(), words.end());
    }
    ASSERT_EQ(raw.size(), 256u);
    for (std::size_t channel : {0, 128}) {
        const auto begin = raw.begin() + static_cast<long>(channel);
        const auto peak = std::max_element(begin, begin + 128);
        EXPECT_GT(peak - begin, 30) << "a pulse in the middle of channel " << channel;
        EXPECT_LT(peak - begin, 100);
        EXPECT_LT(*begin * 2, *peak);
        EXPECT_LT(*(begin + 127) * 2, *peak);
    }
    EXPECT_EQ(block(32, 0), std::vector<uint16_t>(raw.begin() + 32, raw.begin() + 96));
    std::vector<uint16_t> tail(raw.begin() + 250, raw.end());
    tail.resize(64, 0);
    EXPECT_EQ(block(250, 0), tail);
    EXPECT_EQ(block(0xFFFF, 0), std::vector<uint16_t>(64, 0));

    std::vector<uint16_t> norm = block(0, 1);
    const std::vector<uint16_t> second = block(64, 1);
    norm.insert(norm.end(), second.begin(), second.end());
    EXPECT_EQ(*std::max_element(norm.begin(), norm.end()), 1000);
    EXPECT_EQ(block(128, 1), std::vector<uint16_t>(64, 0));

    Faults faults;
    faults.missingBlockAt = 1;
    faults.shortBlockAt = 2;
    faults.shortBlockBytes = 50;
    controller.setFaults(faults);
    EXPECT_EQ(ask(controller, CURVE_BLOCK, {0}).size(), 128u);
    EXPECT_EQ(ask(controller, CURVE_BLOCK, {64}).size(), 0u);
    EXPECT_EQ(ask(controller, CURVE_BLOCK, {128}).size(), 50u);
    EXPECT_EQ(ask(controller, CURVE_BLOCK, {192}).size(), 128u);
}

TEST(ControllerFlash, BlocksAdvanceEchoAndLandInTheirPage) {
    Controller controller;
    auto dataEcho = [&](const std::vector<uint16_t> &words) {
        const Bytes answer = ask(controller, FLASH_DATA, words);
        EXPECT_EQ(answer.size(), 36u);
        return wordsOf(answer)[0];
    };
    EXPECT_EQ(ask(controller, FLASH_INFO, {0, 0x1500}), frameBytes(FLASH_INFO, {0x00AA}));
    Page written{};
    for (std::size_t block = 0; block < 16; ++block) {
        std::vector<uint16_t> words;
        for (std::size_t i = 0; i < 16; ++i) {
            words.push_back(static_cast<uint16_t>(0x8000 + block * 16 + i));
            written[block * 16 + i] = words.back();
        }
        EXPECT_EQ(dataEcho(words), block == 0 ? 1 : 2) << "block " << block;
    }
    EXPECT_EQ(controller.flashPage(5), written);
    EXPECT_EQ(dataEcho({}), 1) << "the address ran on into page 6";
    EXPECT_TRUE(std::all_of(controller.flashPage(4).begin(), controller.flashPage(4).end(),
                            [](uint16_t w) { return w == 0xFFFF; }));

    for (uint16_t outside : {0x1300, 0x13F0, 0x1800, 0x17F8}) {
        ask(controller, FLASH_INFO, {0, outside});
        EXPECT_EQ(dataEcho({1, 2, 3}), 0) << "address " << outside;
    }
    EXPECT_EQ(controller.flashPage(7)[0xF8], 0xFFFF);

    Faults faults;
    faults.wrongInfoEchoAt = 0x1400;
    faults.refuseEraseAt = 0x1400;
    faults.unknownDataEchoAt = 0x1410;
    controller.setFaults(faults);
    EXPECT_EQ(wordsOf(ask(controller, FLASH_INFO, {0, 0x1400}))[0], 0x0055);
    EXPECT_EQ(dataEcho({42}), 0);
    EXPECT_EQ(controller.flashPage(4)[0], 0xFFFF);
    EXPECT_EQ(dataEcho({43}), 7);
}

TEST(FrameReader, ResynchronisesAndCountsBadFrames) {
    FrameReader reader;
    Frame frame{};
    Clock::time_point firstByte;
    const Bytes garbage = {0x12, 0x00, 0x00, 0x34, 0x00};
    const Bytes request = frameBytes(READ_RAM, {1, 2});
    reader.push(garbage.data(), garbage.size(), Clock::time_point(milliseconds(1)));
    for (std::size_t i = 0; i < request.size(); ++i) {
        reader.push(&request[i], 1, Clock::time_point(milliseconds(10 + i)));
    }
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
    EXPECT_FALSE(controller.handle(requestFrame(99)).has_value());
    EXPECT_EQ(controller.badFrames(), 1u);
    EXPECT_EQ(controller.requestCount(), 0u);
}

TEST(FrameReader, SurvivesAnyInput) {
    // Frames with every order code and random payloads (offsets, addresses) amid random bytes.
    std::mt19937 random(7);
    FrameReader reader;
    Controller controller;
    for (int round = 0; round < 3000; ++round) {
        Bytes bytes(random() % 8);
        for (uint8_t &b : bytes) {
            b = static_cast<uint8_t>(random());
        }
        std::vector<uint16_t> words;
        for (int i = 0; i < 16; ++i) {
            words.push_back(static_cast<uint16_t>(random()));
        }
        const Bytes frame = frameBytes(static_cast<uint16_t>(random() % 25), words);
        bytes.insert(bytes.end(), frame.begin(), frame.end());
        reader.push(bytes.data(), bytes.size(), Clock::now());
        Frame request{};
        Clock::time_point firstByte;
        while (reader.next(&request, &firstByte)) {
            const std::optional<Bytes> reply = controller.handle(request);
            ASSERT_LE(reply.value_or(Bytes{}).size(), 128u);
        }
    }
    EXPECT_GT(controller.requestCount(), 1000u);
}

TEST(EepromFile, SurvivesARestartAndRejectsBadContent) {
    TempDir dir;
    const std::string file = dir.path / "eeprom.dat";
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
    EXPECT_EQ(wordsOf(ask(second, READ_EEPROM)), words);

    for (const char *bad :
         {"1 2 3\n", "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n12\n13\n14\n15\n70000\n"}) {
        std::ofstream(file) << bad;
        Controller third;
        std::string error;
        EXPECT_FALSE(third.attachEepromFile(file, &error));
        EXPECT_NE(error.find(file), std::string::npos);
    }
}

TEST(SimulatorOnPty, AnswersPacedAndSurvivesReopeningThePort) {
    TempDir dir;
    const std::string link = dir.path / "ttyKEL";
    std::string error;
    {
        Simulator simulator;
        ASSERT_TRUE(simulator.start(link, &error)) << error;
        EXPECT_EQ(std::filesystem::read_symlink(link), simulator.devicePath());
        {
            Port port(link);
            ASSERT_TRUE(port.isOpen());
            const auto sent = Clock::now();
            ASSERT_TRUE(port.send(frameBytes(READ_RAM, PROGRAM_DEFAULTS)));
            EXPECT_EQ(port.receive(36, milliseconds(2000)),
                      frameBytes(READ_RAM, toVector(Simulator::factorySet())));
            // 36 bytes down and 36 back at 19200 baud can't take less.
            EXPECT_GE(Clock::now() - sent, milliseconds(37));
        }
        Port reopened(link);
        ASSERT_TRUE(reopened.send(frameBytes(LINE_CHECK)));
        EXPECT_EQ(reopened.receive(36, milliseconds(2000)), frameBytes(LINE_CHECK, {0x00AA}));
        const std::vector<Request> requests = simulator.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].order, READ_RAM);
        EXPECT_EQ(toVector(requests[0].words), PROGRAM_DEFAULTS);
        EXPECT_EQ(requests[1].order, LINE_CHECK);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(SimulatorOnPty, FaultSwitchesAndBrokenInput) {
    TempDir dir;
    const std::string link = dir.path / "ttyKEL";
    Simulator::Options options;
    options.pacing = false;
    Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.start(link, &error)) << error;
    Port port(link);

    Faults faults;
    faults.extraBytes = 2;
    faults.lateSeconds = 0.2;
    simulator.setFaults(faults);
    const auto sent = Clock::now();
    port.send(frameBytes(LINE_CHECK));
    Bytes expected = frameBytes(LINE_CHECK, {0x00AA});
    expected.insert(expected.end(), {EXTRA_BYTE, EXTRA_BYTE});
    EXPECT_EQ(port.receive(38, milliseconds(2000)), expected);
    EXPECT_GE(Clock::now() - sent, milliseconds(200));

    faults = Faults{};
    faults.silent = true;
    simulator.setFaults(faults);
    port.send(frameBytes(LINE_CHECK));
    EXPECT_TRUE(port.receive(1, milliseconds(300)).empty());
    EXPECT_EQ(simulator.requestCount(), 2u);
    simulator.setFaults(Faults{});

    // An unfinished frame with an unknown order, then silence: it must be dropped, not completed
    // by the next frame's bytes.
    const Bytes broken = {0x00, 0x55, 0x00, 0x63, 0x01};
    port.send(broken);
    port.receive(1, milliseconds(300));
    const Bytes garbage = {0x55, 0xAA, 0x00};
    port.send(garbage);
    port.send(frameBytes(READ_RAM));
    EXPECT_EQ(port.receive(36, milliseconds(2000)),
              frameBytes(READ_RAM, toVector(Simulator::factorySet())));
    EXPECT_EQ(simulator.badFrames(), 2u);
}
