// The simulated controller's state and its answer to each order code, with no line attached.
#include "kelvaro_sim.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sys/stat.h>

namespace kvsim {

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr int FLASH_BASE = 4096;
constexpr int PAGE_SIZE = static_cast<int>(PAGE_WORDS);
constexpr int BLOCK_SIZE = static_cast<int>(WORDS);
constexpr int FLASH_START = FLASH_BASE + FIRST_PAGE * PAGE_SIZE;
constexpr int FLASH_END = FLASH_BASE + (LAST_PAGE + 1) * PAGE_SIZE;
constexpr uint16_t ECHO_WRONG_BYTE_ORDER = 0xAA00;
constexpr uint16_t ECHO_INFO_REFUSED = 0x0055;
constexpr uint16_t ADC_MAX = 4095;
constexpr uint16_t NORM_SCALE = 1000;
constexpr uint16_t ERASED = 0xFFFF;

uint16_t clampAdc(double value) {
    return static_cast<uint16_t>(std::clamp(std::lround(value), 0L, static_cast<long>(ADC_MAX)));
}

uint16_t normOf(uint16_t value, uint16_t max) {
    return static_cast<uint16_t>(value * NORM_SCALE / std::max<uint16_t>(max, 1));
}

Bytes answerFrame(uint16_t order, const Words &words) {
    const Frame frame = makeFrame(order, words);
    return Bytes(frame.begin(), frame.end());
}

// An answer whose first word carries an echo code.
Bytes echoFrame(uint16_t order, uint16_t echo) {
    Words words{};
    words[0] = echo;
    return answerFrame(order, words);
}

bool matches(int faultAddress, int address) {
    return faultAddress >= 0 && faultAddress == address;
}

} // namespace

Frame makeFrame(uint16_t order, const Words &words) {
    Frame frame{SYNC_HIGH, SYNC_LOW, static_cast<uint8_t>(order >> 8),
                static_cast<uint8_t>(order & 0xFF)};
    for (std::size_t i = 0; i < WORDS; ++i) {
        frame[4 + 2 * i] = static_cast<uint8_t>(words[i] >> 8);
        frame[5 + 2 * i] = static_cast<uint8_t>(words[i] & 0xFF);
    }
    return frame;
}

uint16_t orderOf(const Frame &frame) {
    return static_cast<uint16_t>(frame[2] << 8 | frame[3]);
}

Words payloadOf(const Frame &frame) {
    Words words{};
    for (std::size_t i = 0; i < WORDS; ++i) {
        words[i] = static_cast<uint16_t>(frame[4 + 2 * i] << 8 | frame[5 + 2 * i]);
    }
    return words;
}

SensorModel::SensorModel(unsigned seed) : random_(seed) {
    capture();
}

int SensorModel::noise(int amplitude) {
    return static_cast<int>(random_() % static_cast<unsigned>(2 * amplitude + 1)) - amplitude;
}

LiveValues SensorModel::sample(double seconds) {
    constexpr double PERIOD_A = 7.0;
    constexpr double PERIOD_B = 9.0;
    LiveValues values;
    values.a = clampAdc(2400 + 1200 * std::sin(2 * PI * seconds / PERIOD_A) + noise(3));
    values.b = clampAdc(2200 + 1000 * std::sin(2 * PI * seconds / PERIOD_B + 2.0) + noise(3));
    amax_ = std::max(amax_, values.a);
    bmax_ = std::max(bmax_, values.b);
    values.amax = amax_;
    values.bmax = bmax_;
    values.norm = normOf(values.a, amax_);
    return values;
}

void SensorModel::capture() {
    // Channel B sees the object a few samples after channel A, and a little weaker.
    const double centre = 60 + noise(6);
    const double width = 11 + noise(2);
    std::array<uint16_t, CURVE_SAMPLES> a{};
    for (std::size_t i = 0; i < CURVE_SAMPLES; ++i) {
        const double x = (static_cast<double>(i) - centre) / width;
        const double xb = (static_cast<double>(i) - centre - 6) / width;
        a[i] = clampAdc(420 + 3100 * std::exp(-x * x / 2) + noise(4));
        rawCurve_[i] = a[i];
        rawCurve_[CURVE_SAMPLES + i] = clampAdc(380 + 2500 * std::exp(-xb * xb / 2) + noise(4));
    }
    const uint16_t peak = *std::max_element(a.begin(), a.end());
    normCurve_.fill(0);
    for (std::size_t i = 0; i < CURVE_SAMPLES; ++i) {
        normCurve_[i] = normOf(a[i], peak);
    }
}

Controller::Controller(unsigned seed)
    : ram_(factorySet()), eeprom_(factorySet()), sensor_(seed), start_(Clock::now()) {
    for (Page &page : flash_) {
        page.fill(ERASED);
    }
}

const Words &Controller::factorySet() {
    // Reference and tolerance on the NORM scale; deliberately unlike the program's own defaults.
    static const Words FACTORY = {600, 500, 100, 20, 1, 100, 0, 8, 0, 0, 900, 0, 250, 13, 14, 15};
    return FACTORY;
}

bool Controller::attachEepromFile(const std::string &path, std::string *error) {
    eepromFile_ = path;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return true; // created by the first order 3
    }
    std::ifstream in(path);
    Words words{};
    std::size_t count = 0;
    long value = 0;
    while (in >> value) {
        if (count == WORDS || value < 0 || value > 0xFFFF) {
            count = WORDS + 1;
            break;
        }
        words[count++] = static_cast<uint16_t>(value);
    }
    if (count != WORDS || !in.eof()) {
        if (error) {
            *error = "EEPROM file " + path + " does not hold 16 numbers from 0 to 65535";
        }
        return false;
    }
    eeprom_ = words;
    return true;
}

bool Controller::saveEeprom() const {
    // A crash mid-write must leave the previous EEPROM, as the real chip would.
    const std::string temporary = eepromFile_ + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (uint16_t word : eeprom_) {
            out << word << '\n';
        }
        if (!out.flush()) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    return std::rename(temporary.c_str(), eepromFile_.c_str()) == 0;
}

const Page &Controller::flashPage(int page) const {
    return flash_.at(page - FIRST_PAGE);
}

void Controller::setFaults(const Faults &faults) {
    faults_ = faults;
    blockRequestsSinceFaults_ = 0;
}

void Controller::scriptNorm(const std::vector<uint16_t> &values) {
    scriptedNorm_.assign(values.begin(), values.end());
}

double Controller::secondsSinceStart() const {
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

std::optional<Bytes> Controller::handle(const Frame &request) {
    const unsigned long sequence = requestCount_;
    std::optional<Bytes> reply = dispatch(orderOf(request), payloadOf(request));
    if (!reply) {
        ++badFrames_;
        return std::nullopt;
    }
    ++requestCount_;
    const bool muted =
        faults_.silent || (faults_.silentFromRequest >= 0 &&
                           sequence >= static_cast<unsigned long>(faults_.silentFromRequest));
    if (muted) {
        reply->clear();
    } else if (!reply->empty() &&
               (faults_.faultyOrder < 0 || faults_.faultyOrder == orderOf(request))) {
        reply->insert(reply->end(), static_cast<std::size_t>(faults_.extraBytes), EXTRA_BYTE);
        reply->insert(reply->begin(), static_cast<std::size_t>(faults_.strayBytes), STRAY_BYTE);
    }
    return reply;
}

std::optional<Bytes> Controller::dispatch(uint16_t order, const Words &payload) {
    switch (order) {
    case WRITE_RAM:
        return writeRam(payload);
    case READ_RAM:
        return readRam();
    case WRITE_EEPROM:
        return writeEeprom(payload);
    case READ_EEPROM:
        return readEeprom();
    case LINE_CHECK:
        return lineCheck();
    case TEACH:
        return teach();
    case FIRMWARE:
        return firmware();
    case LIVE_VALUES:
        return liveValues();
    case CURVE_BLOCK:
        return curveBlock(payload);
    case RESET:
        return reset();
    case FLASH_INFO:
        return flashInfo(payload);
    case FLASH_DATA:
        return flashData(payload);
    }
    return std::nullopt;
}

Bytes Controller::writeRam(const Words &payload) {
    ram_ = payload;
    return {};
}

Bytes Controller::readRam() {
    return answerFrame(READ_RAM, ram_);
}

Bytes Controller::writeEeprom(const Words &payload) {
    eeprom_ = payload;
    if (!eepromFile_.empty()) {
        saveEeprom();
    }
    return {};
}

Bytes Controller::readEeprom() {
    return answerFrame(READ_EEPROM, eeprom_);
}

Bytes Controller::lineCheck() {
    return echoFrame(LINE_CHECK, faults_.wrongEcho ? ECHO_WRONG_BYTE_ORDER : ECHO_OK);
}

Bytes Controller::teach() {
    ram_[1] = sensor_.sample(secondsSinceStart()).norm;
    return answerFrame(TEACH, ram_);
}

Bytes Controller::firmware() {
    Bytes text(FIRMWARE_BYTES, 0);
    const std::string firmwareText = FIRMWARE_TEXT;
    std::copy(firmwareText.begin(), firmwareText.end(), text.begin());
    if (faults_.firmwareBytes >= 0) {
        text.resize(
            std::min<std::size_t>(static_cast<std::size_t>(faults_.firmwareBytes), FIRMWARE_BYTES));
    }
    return text;
}

Bytes Controller::liveValues() {
    const LiveValues live = sensor_.sample(secondsSinceStart());
    const long reference = ram_[1];
    const long tolerance = ram_[2];
    Words words{};
    words[0] = live.norm;
    if (!scriptedNorm_.empty()) {
        words[0] = scriptedNorm_.front();
        scriptedNorm_.pop_front();
    }
    words[1] = live.a;
    words[2] = live.b;
    words[3] = live.amax;
    words[4] = live.bmax;
    words[5] = static_cast<uint16_t>(std::min(reference + tolerance, 0xFFFFL));
    words[6] = static_cast<uint16_t>(std::max(reference - tolerance, 0L));
    words[7] = static_cast<uint16_t>(tolerance);
    return answerFrame(LIVE_VALUES, words);
}

Bytes Controller::curveBlock(const Words &payload) {
    const std::size_t offset = payload[0];
    const bool norm = payload[1] == 1;
    // Every capture of the program starts at offset 0: that is when a new measurement is taken.
    if (offset == 0) {
        shownCurve_ = scriptedCurve_;
        scriptedCurve_.reset();
        if (!shownCurve_) {
            sensor_.capture();
        }
    }
    const auto &curve = shownCurve_ ? *shownCurve_ : sensor_.curve(norm);
    Bytes block;
    block.reserve(2 * BLOCK_WORDS);
    for (std::size_t i = 0; i < BLOCK_WORDS; ++i) {
        const uint16_t word = offset + i < CURVE_WORDS ? curve[offset + i] : 0;
        block.push_back(static_cast<uint8_t>(word >> 8));
        block.push_back(static_cast<uint8_t>(word & 0xFF));
    }
    const long index = static_cast<long>(blockRequestsSinceFaults_++);
    if (index == faults_.missingBlockAt) {
        return {};
    }
    if (index == faults_.shortBlockAt) {
        block.resize(
            std::min(block.size(), static_cast<std::size_t>(std::max(faults_.shortBlockBytes, 0))));
    }
    return block;
}

Bytes Controller::reset() {
    ram_ = factorySet();
    return answerFrame(RESET, ram_);
}

Bytes Controller::flashInfo(const Words &payload) {
    flashAddress_ = payload[1];
    return echoFrame(FLASH_INFO,
                     matches(faults_.wrongInfoEchoAt, flashAddress_) ? ECHO_INFO_REFUSED : ECHO_OK);
}

Bytes Controller::flashData(const Words &payload) {
    const int address = flashAddress_;
    flashAddress_ = (flashAddress_ + BLOCK_SIZE) & 0xFFFF; // a 16-bit register
    const int inPage = (address - FLASH_START) % PAGE_SIZE;
    const bool writable = address >= FLASH_START && address < FLASH_END &&
                          inPage + BLOCK_SIZE <= PAGE_SIZE &&
                          !matches(faults_.refuseEraseAt, address);
    if (!writable) {
        return echoFrame(FLASH_DATA, ERASE_ADDRESS_INVALID);
    }
    Page &page = flash_[static_cast<std::size_t>((address - FLASH_START) / PAGE_SIZE)];
    const bool firstBlock = inPage == 0;
    if (firstBlock) {
        page.fill(ERASED); // the first block of a page erases it
    }
    std::copy(payload.begin(), payload.end(), page.begin() + inPage);
    if (matches(faults_.unknownDataEchoAt, address)) {
        return echoFrame(FLASH_DATA, UNKNOWN_DATA_ECHO);
    }
    return echoFrame(FLASH_DATA, firstBlock ? ERASE_ADDRESS_VALID : BLOCK_WRITTEN);
}

} // namespace kvsim
