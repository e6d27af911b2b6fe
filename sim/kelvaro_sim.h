// kelvaro-sim: a simulated KEL-VA-RO1 controller on a pseudo-terminal, for tests, demos and the
// benchmark. Written apart from the program so that a fault in its frame code can't hide here.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct termios;

namespace kvsim {

constexpr std::size_t WORDS = 16;
constexpr std::size_t FRAME_BYTES = 4 + 2 * WORDS;
constexpr std::size_t FIRMWARE_BYTES = 64;
constexpr std::size_t BLOCK_WORDS = 64;
constexpr std::size_t CURVE_WORDS = 256;
constexpr std::size_t CURVE_SAMPLES = 128;
constexpr std::size_t PAGE_WORDS = 256;
constexpr int FIRST_PAGE = 4;
constexpr int LAST_PAGE = 7;
constexpr uint8_t SYNC_HIGH = 0x00;
constexpr uint8_t SYNC_LOW = 0x55;
constexpr uint16_t ECHO_OK = 0x00AA;
constexpr uint8_t EXTRA_BYTE = 0x5A;
constexpr uint8_t STRAY_BYTE = 0x02;
constexpr const char *FIRMWARE_TEXT = "KEL-VA-RO1 simulated controller FW 1.0";

enum Order : uint16_t {
    WRITE_RAM = 1,
    READ_RAM = 2,
    WRITE_EEPROM = 3,
    READ_EEPROM = 4,
    LINE_CHECK = 5,
    TEACH = 6,
    FIRMWARE = 7,
    LIVE_VALUES = 8,
    CURVE_BLOCK = 9,
    RESET = 10,
    FLASH_INFO = 20,
    FLASH_DATA = 21,
};

// Echo codes of a flash data block (order 21).
enum FlashEcho : uint16_t {
    ERASE_ADDRESS_INVALID = 0,
    ERASE_ADDRESS_VALID = 1,
    BLOCK_WRITTEN = 2,
    UNKNOWN_DATA_ECHO = 7,
};

using Words = std::array<uint16_t, WORDS>;
using Frame = std::array<uint8_t, FRAME_BYTES>;
using Bytes = std::vector<uint8_t>;
using Page = std::array<uint16_t, PAGE_WORDS>;
using Clock = std::chrono::steady_clock;

// A 36-byte frame: sync, order code, then the words, high byte first.
Frame makeFrame(uint16_t order, const Words &words);
uint16_t orderOf(const Frame &frame);
Words payloadOf(const Frame &frame);

// Misbehaviour on demand. Every fault changes only what goes back on the line: the orders still act
// on RAM, EEPROM and flash, except a refused erase, which writes nothing. -1 means "off".
struct Faults {
    bool silent = false;
    long silentFromRequest = -1; // answer only requests whose sequence number is below this
    bool wrongEcho = false;      // order 5 answers 0xAA00
    int firmwareBytes = -1;      // send only this many firmware bytes
    int extraBytes = 0;          // append this many EXTRA_BYTEs to every answer (sent in one piece)
    int strayBytes = 0;          // put this many STRAY_BYTEs before every answer (likewise)
    int faultyOrder = -1;        // with extraBytes or strayBytes: only the answers to this order
    double lateSeconds = 0.0;    // delay every answer by this much more
    int lateOrder = -1;          // with lateSeconds: only the answers to this order are late
    int tailBytes = 0;           // hand the last this many bytes of every answer over late,
    double tailLateSeconds = 0;  // by this much, as a loaded machine or an adapter may
    int missingBlockAt = -1;     // this order-9 request (0-based since setFaults) gets no reply
    int shortBlockAt = -1;       // this order-9 request gets only shortBlockBytes bytes
    int shortBlockBytes = 0;
    int refuseEraseAt = -1;     // order 21 at this word address answers 0 and writes nothing
    int unknownDataEchoAt = -1; // order 21 at this word address answers 7
    int wrongInfoEchoAt = -1;   // order 20 naming this address answers 0x0055
};

struct LiveValues {
    uint16_t norm = 0;
    uint16_t a = 0;
    uint16_t b = 0;
    uint16_t amax = 0;
    uint16_t bmax = 0;
};

// Two ADC channels that drift slowly with noise, and the curve of an object passing the sensor.
// Noise comes from a seeded generator, so a run with the same seed and timing repeats itself.
class SensorModel {
  public:
    explicit SensorModel(unsigned seed);
    LiveValues sample(double seconds);
    // A new measurement: channel A in words 0..127, B in 128..255 (RAW) or the 0..1000 curve of A
    // in words 0..127 (NORM).
    void capture();
    const std::array<uint16_t, CURVE_WORDS> &curve(bool norm) const {
        return norm ? normCurve_ : rawCurve_;
    }

  private:
    int noise(int amplitude);

    std::mt19937 random_;
    uint16_t amax_ = 1;
    uint16_t bmax_ = 1;
    std::array<uint16_t, CURVE_WORDS> rawCurve_{};
    std::array<uint16_t, CURVE_WORDS> normCurve_{};
};

// Cuts the incoming byte stream into 36-byte frames that start with the sync bytes. Bytes before a
// sync are skipped; each run of unusable bytes (skipped, or a partial frame dropped after a
// silence) counts as one bad frame.
class FrameReader {
  public:
    void push(const uint8_t *data, std::size_t count, Clock::time_point now);
    // The next complete frame and the arrival time of its first byte.
    bool next(Frame *frame, Clock::time_point *firstByte);
    bool hasPartial() const { return size_ > 0 || skipping_; }
    Clock::time_point lastByteAt() const { return lastByte_; }
    void dropPartial();
    unsigned long badFrames() const { return badFrames_; }

  private:
    void take(uint8_t byte, Clock::time_point now);
    void skip();

    Frame partial_{};
    std::size_t size_ = 0;
    Clock::time_point firstByte_{};
    Clock::time_point lastByte_{};
    std::deque<std::pair<Frame, Clock::time_point>> ready_;
    bool skipping_ = false;
    unsigned long badFrames_ = 0;
};

// The controller's state and its answers, without any line: one request in, the answer bytes out.
// Not thread-safe on its own; Simulator guards it.
class Controller {
  public:
    explicit Controller(unsigned seed = 1);

    static const Words &factorySet();

    // Loads the EEPROM from path when the file exists and keeps it there after every order 3.
    bool attachEepromFile(const std::string &path, std::string *error);

    // nullopt for an unknown order code (a bad frame); otherwise the bytes to send, maybe none.
    std::optional<Bytes> handle(const Frame &request);

    const Words &ram() const { return ram_; }
    void setRam(const Words &words) { ram_ = words; }
    const Words &eeprom() const { return eeprom_; }
    void setEeprom(const Words &words) { eeprom_ = words; }
    const Page &flashPage(int page) const;
    // The measurement the last block at offset 0 captured.
    const std::array<uint16_t, CURVE_WORDS> &curve(bool norm) const {
        return shownCurve_ ? *shownCurve_ : sensor_.curve(norm);
    }
    const Faults &faults() const { return faults_; }
    void setFaults(const Faults &faults);
    void scriptNorm(const std::vector<uint16_t> &values);
    // The next measurement (the next block at offset 0) sends these words for either source.
    void scriptCurve(const std::array<uint16_t, CURVE_WORDS> &words) { scriptedCurve_ = words; }
    unsigned long requestCount() const { return requestCount_; }
    unsigned long badFrames() const { return badFrames_; }

  private:
    std::optional<Bytes> dispatch(uint16_t order, const Words &payload);
    Bytes writeRam(const Words &payload);
    Bytes readRam();
    Bytes writeEeprom(const Words &payload);
    Bytes readEeprom();
    Bytes lineCheck();
    Bytes teach();
    Bytes firmware();
    Bytes liveValues();
    Bytes curveBlock(const Words &payload);
    Bytes reset();
    Bytes flashInfo(const Words &payload);
    Bytes flashData(const Words &payload);
    double secondsSinceStart() const;
    bool saveEeprom() const;

    Words ram_;
    Words eeprom_;
    std::array<Page, LAST_PAGE - FIRST_PAGE + 1> flash_;
    int flashAddress_ = 0;
    SensorModel sensor_;
    Clock::time_point start_;
    std::deque<uint16_t> scriptedNorm_;
    std::optional<std::array<uint16_t, CURVE_WORDS>> scriptedCurve_;
    std::optional<std::array<uint16_t, CURVE_WORDS>> shownCurve_; // the scripted one in use
    Faults faults_;
    unsigned long blockRequestsSinceFaults_ = 0;
    unsigned long requestCount_ = 0;
    unsigned long badFrames_ = 0;
    std::string eepromFile_;
};

struct Request {
    uint16_t order = 0;
    Words words{};
    Clock::time_point arrival{}; // first byte of the frame
};

// The controller on a pseudo-terminal, served by its own thread. All accessors are thread-safe.
class Simulator {
  public:
    struct Options {
        bool pacing = true; // 19200 baud, 10 bits a byte, both ways
        std::string eepromFile;
        unsigned seed = 1;
        std::function<void(const Request &)> onRequest; // called on the serving thread
    };

    Simulator();
    explicit Simulator(Options options);
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Opens the pseudo-terminal, points linkPath at its device and starts serving.
    bool start(const std::string &linkPath, std::string *error);
    void stop();

    std::string devicePath() const;
    // The line as the device's side has it now (speed, character size, parity, stop bits): what a
    // client set through a serial device server. false before start.
    bool lineSettings(::termios *settings) const;
    static Words factorySet() { return Controller::factorySet(); }
    Words ram() const;
    void setRam(const Words &words);
    Words eeprom() const;
    void setEeprom(const Words &words);
    Page flashPage(int page) const;
    std::array<uint16_t, CURVE_WORDS> curve(bool norm) const;
    Faults faults() const;
    void setFaults(const Faults &faults);
    void scriptNorm(const std::vector<uint16_t> &values);
    void scriptCurve(const std::array<uint16_t, CURVE_WORDS> &words);
    std::vector<Request> requests() const;
    void clearRequests();
    unsigned long requestCount() const;
    unsigned long badFrames() const;
    // The serving thread's id (0 before it runs), for measuring a program beside it in one process.
    long threadId() const { return threadId_; }

  private:
    void serve();
    void answer(const Frame &request, Clock::time_point firstByte);
    void send(const Bytes &bytes, Clock::time_point from, std::size_t tailBytes,
              Clock::duration tailLate);
    bool sleepUntil(Clock::time_point deadline);
    void closeAll();

    Options options_;
    mutable std::mutex mutex_;
    Controller controller_;
    FrameReader reader_;
    std::deque<Request> requests_; // the latest ones, so a long demo can't eat the memory
    std::thread thread_;
    int master_ = -1;
    int slave_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::string devicePath_;
    std::string linkPath_;
    std::atomic<long> threadId_{0};
};

} // namespace kvsim
