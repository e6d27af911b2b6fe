// The word-level exchange core: every conversation with the controller goes through here, for the
// window, the command line and the station alike. Each operation takes words (or a table) and
// returns an Outcome; one owner knows what the line owes, one busy check guards every operation,
// every frame leaves through one function and every wait is one helper.
#pragma once

#include <array>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kelvaro {

// Order codes of the command frames.
enum OrderCode {
    ORDER_WRITE_RAM = 1,
    ORDER_READ_RAM = 2,
    ORDER_WRITE_EEPROM = 3,
    ORDER_READ_EEPROM = 4,
    ORDER_LINE_CHECK = 5,
    ORDER_TEACH = 6,
    ORDER_FIRMWARE = 7,
    ORDER_LIVE_VALUES = 8,
    ORDER_DATA_BLOCK = 9,
    ORDER_RESET = 10,
    ORDER_FLASH_INFO = 20,
    ORDER_FLASH_DATA = 21,
};

const int PNUM = 16;
const int FRAME_BYTES = PNUM * 2 + 4;
const int FRAME_SYNC = 85; // opens every frame, high byte first: 0x00 0x55
const int RAM = 1, EEPROM = 2;
const int FIRMWARE_BYTES = 64;
const int BLOCK_WORDS = 64;
const int BLOCK_BYTES = BLOCK_WORDS * 2;
const int CURVE_POINTS = 128; // samples of one captured curve
const int LIVE_WORDS = 9;     // the live values at the head of an answer to order 8
const int FLASH_PAGE_WORDS = 256;
const int FLASH_PAGES = 4;                   // pages 4 to 7
const int FLASH_FIRST_PAGE_ADDRESS = 0x1400; // page 4; each page 0x100 further on
const int FLASH_BLOCKS_PER_PAGE = 16;

const double LINE_TIMEOUT_S = 2.0;  // each direct read, the read-back, the firmware text
const double GET_TIMEOUT_S = 2.0;   // get from the controller, and each live request
const double TEACH_TIMEOUT_S = 1.5; // teach and reset
const double BLOCK_TIMEOUT_S = 1.5; // a curve block
const double LINE_PAUSE_S = 0.05;   // between a directly read order and its read

// The line: 19200 baud, 8N1, so ten bits a byte.
const long LINE_BAUD = 19200;
const double BYTE_S = 10.0 / LINE_BAUD;

using Words = std::array<unsigned short, PNUM>;

// The word at `at` as the line carries it, high byte first.
unsigned short WordAt(const unsigned char *at);
// The 36-byte frame of order with words, as every frame goes out.
void EncodeFrame(int order, const unsigned short *words, unsigned char frame[FRAME_BYTES]);

enum OutcomeCode {
    OUTCOME_OK,
    OUTCOME_NOT_SENT,     // the request did not go out whole
    OUTCOME_NO_ANSWER,    // nothing, or too little, within the time-out
    OUTCOME_READ_ERROR,   // stray bytes, or an answer faster than the line: nothing was taken
    OUTCOME_WRONG_ANSWER, // an answer whose echo refuses or is unknown
    OUTCOME_DEVICE_GONE,  // the port's device went away; the port is closed
    OUTCOME_NO_PORT,      // the port could not be opened, or is not open
    OUTCOME_BUSY,         // another exchange waits on the line: nothing was sent
    OUTCOME_STOPPED,      // the live run was asked to stop
    OUTCOME_JOURNAL,      // the journal could not record the write: nothing was sent
    OUTCOME_FILE,         // a file was refused or could not be written
};

// What an operation came to: its code, the status text the operation gives it, why (which device,
// which system error, what to check; "" when there is nothing to add), and what was read.
struct Outcome {
    OutcomeCode code = OUTCOME_OK;
    std::string text;
    std::string cause;
    std::vector<unsigned char> bytes;  // the reply as it came: a frame, the firmware, a block
    std::vector<unsigned short> words; // its words: a frame's sixteen, or all of a reply's
    int answerOrder = 0;               // the order code an answer frame carried
    double seconds = 0;                // how long its answer took after the request

    bool ok() const { return code == OUTCOME_OK; }
    // "text: cause", or the text alone.
    std::string shown() const;
};

// Tells the texts an operation shows on its way (the window's status line); nullptr for none.
using StepReporter = void (*)(const char *text);

// What the core saw on the line, for the frame log: frames and replies in each direction, and
// bytes thrown away (stray or left from an answer no one waits for).
enum Traffic { TRAFFIC_SENT, TRAFFIC_ANSWER, TRAFFIC_FIRMWARE, TRAFFIC_BLOCK, TRAFFIC_DISCARDED };
using TrafficObserver = void (*)(Traffic kind, const unsigned char *bytes, int count);
// observer is told all traffic from now on; nullptr for none.
void ObserveTraffic(TrafficObserver observer);

// "COM1: /dev/ttyUSB0".
std::string PortName(int port);
// The status text for a negative result of OpenComConfig.
const char *ComErrorText(int code);

// ---- The line: one controller's port, and what it owes.

// Makes the line of port the one the operations act on: the station serves several.
void SelectLine(int port);
// Makes the line of port the current one and opens it at 19200 8N1 with the port's time-out,
// flushed, no handshake. The outcome's text is the open's error text with the device's cause when
// it failed. The line is busy while it opens: in a window the loop's events run while a server is
// reached.
Outcome OpenLine(int port);
// True while OpenLine waits for the line to open.
bool LineOpening(void);
// Closes the current line's port once an answer still on its way has passed.
void CloseLine(void);
int LinePort(void);
// The firmware text last read on the line, "" before.
const std::string &LineFirmware(void);
// The one busy check: the name of the operation that waits on the line, or nullptr.
const char *LineBusyWith(void);
// The outcome of an operation refused because another waits on the line.
Outcome LineBusyRefusal(void);
// True from the start of a live run until it ends: commands it may run between two answers.
bool LiveRunActive(void);
// Discards what the line holds, unless an operation other than the live run waits on it.
void DiscardLine(void);

// ---- Operations. Each is refused with OUTCOME_BUSY while another waits on the line.

// The line check, order 5 read directly: word 0 of the answer must be 0x00AA.
Outcome CheckLine(const Words &image, StepReporter steps);

// The texts of a parameter read: the window's Get and the read after a start-up or a teach.
struct ReadTexts {
    const char *written; // the request went out whole
    const char *taken;   // the set came
    const char *timeout;
};
extern const ReadTexts GET_TEXTS;
extern const ReadTexts READ_BACK_TEXTS;
// Reads the set of target (RAM or EEPROM), the image going out as the request.
Outcome ReadSet(int target, const Words &image, const ReadTexts &texts, StepReporter steps);
// Writes words into target's set; no answer is awaited.
Outcome WriteSet(int target, const Words &words, StepReporter steps);
// Teach (ORDER_TEACH) or reset (ORDER_RESET) with image, then the set read back from RAM: the
// outcome's words. A read-back that took longer than teach allows keeps its words and says so.
Outcome TeachOrReset(int order, const Words &image, StepReporter steps);
// The firmware text, 64 bytes without frame header; the outcome's text is the text itself.
Outcome ReadFirmware(const Words &image, StepReporter steps);
// One 64-word curve block at offset (0, 64, 128, 192) of source (0 RAW, 1 NORM).
Outcome ReadBlock(int offset, int source, StepReporter steps);
// One order-8 exchange with image: the live values of this moment.
Outcome ReadLiveValues(const Words &image);

// The live run: order-8 requests, each answer handed on and answered at once, until stopped(),
// more than 2.0 s without an answer, or the device going away.
struct LiveRun {
    std::function<Words()> image; // the words each request carries, taken anew for each
    // Each answer: taken whole (ok) or dropped (OUTCOME_READ_ERROR, nothing plotted of it), with
    // the seconds since the run started.
    std::function<void(const Outcome &, double)> answer;
    // Asked after each answer: true when commands wait, which run through between() before the
    // next request goes out.
    std::function<bool()> commandsWaiting;
    std::function<void()> between;
    std::function<bool()> stopped; // asked whenever the run wakes: true ends it
    StepReporter steps = nullptr;  // "Line Ok!" when the first request went out whole
};
// Returns how it ended: OUTCOME_STOPPED, or the time-out's text and cause, or the device gone.
Outcome RunLive(const LiveRun &run);

// Several lines' live runs served by one wait: each line's looks are its own, one sleep serves
// them all, and a line's first look is taken at any wake within its window, so that lines share
// their wakes.
class LiveRuns {
  public:
    LiveRuns();
    ~LiveRuns();
    LiveRuns(const LiveRuns &) = delete;
    LiveRuns &operator=(const LiveRuns &) = delete;

    // Starts the live run of the line of port, which is open: its first request goes out.
    // OUTCOME_BUSY when another operation waits on that line.
    Outcome start(int port, const LiveRun &run);
    // Checks the line of port, which is open, as CheckLine does, without holding up the others:
    // the line check's outcome comes from step as its run ending.
    Outcome probe(int port, const Words &image);
    // Sleeps until a look is due or Timer() reaches until, processing events, and does what the
    // looks call for. Returns the runs that ended, each with its port and how it ended.
    std::vector<std::pair<int, Outcome>> step(double until);
    bool running() const;

  private:
    struct Run;
    // A new run on port's line, which it makes busy with busyWith; nullptr when another operation
    // waits on that line.
    Run *add(int port, const char *busyWith);
    int send(Run &run);
    // Looks at the line of run, whose look is due, and does what that calls for. True when the
    // run ended, *ended saying how.
    bool serve(Run &run, Outcome *ended);
    void leave(Run &run);

    std::list<std::unique_ptr<Run>> runs_;
    std::vector<int> ports_, watch_; // kept from one step to the next, not made anew
};

// The information block of flash address (order 20): 0x00AA accepts it.
Outcome FlashInfo(int address, int info);
// A flash data block (order 21): its echo in words[0], 1 (erase address valid) or 2 (written).
Outcome FlashData(const Words &words);

// ---- Composed operations, for the command line and the station.

// The port set up, the line checked, the RAM's set read (the words) and the firmware text (the
// text); each step's outcome is told to steps.
Outcome StartUp(int port, const Words &image, StepReporter steps);
// The start-up's reads on the current line, checked already: the RAM's set and the firmware text.
Outcome ReadStartUpSet(const Words &image, StepReporter steps);
// Reads the curve of source block by block (two for NORM, four for RAW) into the words (curve A
// then B), then the live values of the moment into *live.
Outcome Capture(int source, const Words &image, Outcome *live, StepReporter steps);
// Programs flash pages 4 to 7 from table (1024 entries, the low 16 bits of each), block by block,
// each echo checked; a failed page does not stop the next. progress gets the words of the page
// taken so far (0 at the end); pageDone the outcome of each page. The outcome fails when a page
// did.
struct FlashHooks {
    StepReporter steps = nullptr;
    void (*progress)(int words) = nullptr;
};
Outcome FlashTable(const int *table, const FlashHooks &hooks);

} // namespace kelvaro
