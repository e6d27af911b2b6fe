// The exchange core. Nothing in an answer says where it starts, so the line's timing does, as RTU
// protocols delimit frames: an answer is taken only when exactly its length came, no sooner than
// the line could carry it, and the line then stayed quiet for a couple of character times. Stray
// bytes make a read error that changes nothing, and the next exchange starts on a clean line.
#include "exchange.h"

#include "serial.h"
#include "utility.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

namespace kelvaro {

namespace {

const int LINE_OK_ECHO = 0x00AA;
const int FLASH_INFO_ACCEPTED = 0x00AA;
const double FLASH_FIRST_BLOCK_PAUSE_S = 0.15;
const double FLASH_PAGE_PAUSE_S = 0.05;
// An answer whole sooner than this share of its own line time after the request was already on
// its way before it: clocks of adapters and controllers may differ by a few per cent.
const double LINE_TIME_SHARE = 0.9;
// The quiet that ends an answer.
const double QUIET_S = 2 * BYTE_S;
// The quiet a command's answer is taken after: a last byte or two may be handed over some
// milliseconds late by a loaded machine or an adapter, and a block has no header to show a shift.
const double ANSWER_QUIET_S = 0.005;
// What an answer still on its way may take beyond the line time of request and answer: the
// controller's turnaround and a USB adapter's latency timer.
const double TURNAROUND_S = 0.04;
// The longest a line in a flood of bytes is waited on to fall quiet before the next request.
const double SETTLE_LIMIT_S = 0.1;
// The busy name of a line that is opening: a server may take seconds to answer.
const char LINE_OPENING[] = "the opening of the line";
// A wait wakes this far past its deadline, so that the time it sees has passed the limit.
const double PAST_DEADLINE_S = 0.0002;
// The look at an answer comes this long after its last byte is due, so that one look mostly
// finds it whole when the controller or the driver hand it over a little late; a byte later
// still is watched for.
const double DELIVERY_S = 0.0001;

struct LineState {
    int port = 0;
    const char *busyWith = nullptr;
    bool liveRun = false;
    // The live run's answer taken last, until the line after it is known to have stayed quiet:
    // handed on then, or on a stop or flush, which comes first.
    std::function<void(int strayAfter)> handOnPending;
    bool owed = false;      // a live answer is still on its way
    double owedUntil = 0;   // the latest it can end
    bool unsettled = false; // stray bytes came: the next exchange waits for quiet first
    // When the last frame began to go out: what the frame log does after it, or a pause of the
    // program, must not make an answer look early.
    double sentAt = 0;
    std::string firmware;
};
// Each port's line, and the one the operations act on now: the window's and the command line's
// only one, or the port of the station's that is being served.
std::map<int, LineState> lines;
LineState *line = &lines[0];
TrafficObserver observer = nullptr;

void Tell(StepReporter steps, const char *text) {
    if (steps)
        steps(text);
}

void See(Traffic kind, const unsigned char *bytes, int count) {
    if (observer && count > 0)
        observer(kind, bytes, count);
}

// Holds the line for one operation: the one busy check.
class Turn {
  public:
    explicit Turn(const char *name) : taken_(line->busyWith == nullptr) {
        if (taken_)
            line->busyWith = name;
    }
    ~Turn() {
        if (taken_)
            line->busyWith = nullptr;
    }
    Turn(const Turn &) = delete;
    Turn &operator=(const Turn &) = delete;
    bool taken() const { return taken_; }
    Outcome refusal() const { return LineBusyRefusal(); }

  private:
    bool taken_;
};

// What the line reported beside its data, for a time-out's cause: damaged bytes mean another baud
// rate or format at the controller, or a bad cable.
std::string LineErrorsText(int errors) {
    std::string seen;
    const std::pair<int, const char *> kinds[] = {{COM_LINE_BREAK, "a break"},
                                                  {COM_LINE_FRAMING, "framing errors"},
                                                  {COM_LINE_PARITY, "parity errors"},
                                                  {COM_LINE_OVERRUN, "overruns"}};
    for (const auto &[bit, words] : kinds)
        if (errors & bit)
            seen += (seen.empty() ? "" : ", ") + std::string(words);
    return seen.empty() ? ""
                        : " The line reported " + seen +
                              ": check that the controller runs 19200 8N1 and the cable.";
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

// Closes the port of a device that went away and says so.
std::string DeviceGone(void) {
    CloseCom(line->port);
    line->owed = false;
    const std::string why = GetComFailureCause(line->port);
    return PortName(line->port) + " is gone" + (why.empty() ? "" : " (" + why + ")");
}

// An outcome with text and code; a port that is gone or not open gives every failure on it its
// own cause, and a device that is gone no text but that: nothing timed out.
Outcome Failed(OutcomeCode code, const char *text, const std::string &cause) {
    Outcome failed;
    failed.text = text;
    if (ComDeviceGone(line->port)) {
        failed.code = OUTCOME_DEVICE_GONE;
        failed.text.clear();
        failed.cause = DeviceGone();
    } else if (GetInQLen(line->port) == COM_PORT_NOT_OPEN) {
        const std::string why = ComOpenFailureCause(line->port);
        failed.code = OUTCOME_NO_PORT;
        failed.cause =
            ComPortLabel(line->port) + " is not open" + (why.empty() ? "" : " (" + why + ")");
    } else {
        failed.code = code;
        failed.cause = cause;
    }
    return failed;
}

// Takes what the input queue holds out of it and throws it away, each byte counted: the device's
// own buffer is not flushed, which would lose bytes no one counted. lookFirst asks the device
// for what it has first; a line looked at just now needs no new look. Returns the bytes.
int DropInput(bool lookFirst = true) {
    const int queued = std::max(lookFirst ? GetInQLen(line->port) : ComQueued(line->port), 0);
    if (queued > 0) {
        std::vector<unsigned char> bytes(size_t(queued), 0);
        const int read = ComRd(line->port, reinterpret_cast<char *>(bytes.data()), queued);
        See(TRAFFIC_DISCARDED, bytes.data(), read);
    }
    return queued;
}

// Both queues emptied before a request, the device's too. Returns the bytes of input thrown away.
int Discard(bool lookFirst = true) {
    const int thrown = DropInput(lookFirst);
    FlushInQ(line->port);
    FlushOutQ(line->port);
    return thrown;
}

// Sleeps until Timer() reaches until, processing events or not. Returns the bytes waiting then.
int SleepUntil(double until, bool events) {
    int queued = ComWaitUntil(line->port, until, 0, events);
    while (queued >= 0 && Timer() < until)
        queued = ComWaitUntil(line->port, until, 0, events);
    return queued;
}

// Throws away what comes until the line has been quiet for a couple of character times, or until
// Timer() reaches until; a line still talking then is settled again before the next request.
// Returns the bytes thrown away.
int Settle(double until) {
    int discarded = DropInput();
    int arrived = ComQuietFor(line->port, QUIET_S);
    for (; arrived > 0 && Timer() < until; arrived = ComQuietFor(line->port, QUIET_S))
        discarded += DropInput();
    line->unsettled = arrived > 0;
    return discarded;
}

// Before a request: an answer still on its way passes, stray bytes go, and the queues are
// emptied where the operation empties them.
void PrepareLine(bool flush, bool events) {
    if (line->owed) {
        // An answer still arriving then passes whole.
        SleepUntil(line->owedUntil, events);
        Settle(Timer() + FRAME_BYTES * BYTE_S);
        line->owed = false;
        flush = true;
    }
    if (line->unsettled)
        Settle(Timer() + SETTLE_LIMIT_S);
    if (flush || line->unsettled)
        Discard();
}

// The one way a frame leaves. Returns the bytes written, or a negative ComError.
int SendFrame(int order, const unsigned short *words) {
    unsigned char frame[FRAME_BYTES];
    EncodeFrame(order, words, frame);
    line->sentAt = Timer();
    const int written = ComWrt(line->port, reinterpret_cast<const char *>(frame), FRAME_BYTES);
    See(TRAFFIC_SENT, frame, written);
    return written;
}

// Why a frame did not go out whole: its device is gone, the port is not open, or the bytes that
// went and the system's words.
Outcome NotSent(const char *text, int written) {
    return Failed(OUTCOME_NOT_SENT, text,
                  "only " + std::to_string(std::max(written, 0)) + " of " +
                      std::to_string(FRAME_BYTES) + " bytes went out to " + PortName(line->port) +
                      " (" + GetComFailureCause(line->port) + ")");
}

enum Verdict { TAKEN, TIMED_OUT, STRAY, TOO_FAST, GONE, STOPPED };

struct Awaited {
    int bytes;    // the answer's length
    double limit; // seconds after the request (after the pause of a direct read)
    double pause; // the fixed pause before a direct read; 0 for none
    bool events;  // events are processed while waiting
    const std::function<bool()> *stopped; // true ends the wait; nullptr for none
    bool quietCheck; // the quiet after it is checked here (the live run checks it later)
    // Told the bytes of the first look, which came after the answer before: nullptr for none.
    const std::function<void(int)> *firstLook = nullptr;
};

struct Reply {
    Verdict verdict = TAKEN;
    std::vector<unsigned char> bytes;
    int queued = 0;    // what came when the wait ended
    int early = 0;     // what came before the answer could have begun: stray
    int discarded = 0; // bytes beyond the answer thrown away already
    double seconds = 0;
    double takenAt = 0; // when the wait took it
    double dueAt = 0;   // when it was due whole, had the controller answered at once
};

Traffic ReplyTraffic(int bytes) {
    return bytes == FRAME_BYTES      ? TRAFFIC_ANSWER
           : bytes == FIRMWARE_BYTES ? TRAFFIC_FIRMWARE
                                     : TRAFFIC_BLOCK;
}

// Reads count bytes of the queue into the reply, as a reply of the length awaited.
void Take(Reply &reply, int count, int awaited) {
    reply.bytes.assign(size_t(count), 0);
    const int read = ComRd(line->port, reinterpret_cast<char *>(reply.bytes.data()), count);
    reply.bytes.resize(size_t(std::max(read, 0)));
    See(ReplyTraffic(awaited), reply.bytes.data(), int(reply.bytes.size()));
}

// Waiting for one answer, a look at a time; the blocking wait and the live runs of several lines
// share it. Nothing of the answer can come before the request has crossed the line, since the
// controller answers only then: what is there by the first look is stray, and a whole answer too
// fast. Then it sleeps until the answer can be whole and, while bytes come, for the line time of
// the rest: it looks about once a frame, not once a byte.
class AnswerWait {
  public:
    AnswerWait(const Awaited &awaited, double sentAt)
        : awaited_(awaited), sentAt_(sentAt), deadline_(sentAt + awaited.pause + awaited.limit),
          restUntil_(std::max(sentAt + (FRAME_BYTES + awaited.bytes) * BYTE_S + DELIVERY_S,
                              takeFrom() - (awaited.quietCheck ? ANSWER_QUIET_S : 0))) {}

    // When the next look is due: the first look as late as it may be, then the answer's end.
    double due() const {
        if (!firstLookDone_)
            return sentAt_ + FRAME_BYTES * BYTE_S * LINE_TIME_SHARE;
        if (wholeSeen_)
            return restUntil_;
        if (Timer() < restUntil_)
            return std::min(restUntil_, deadline_ + PAST_DEADLINE_S);
        return deadline_ + PAST_DEADLINE_S;
    }
    // True when bytes coming should wake the wait before its look is due: before the first look,
    // so that a quiet line is known without reading it, and once the answer is due.
    bool watching() const { return !firstLookDone_ || Timer() >= restUntil_; }
    bool firstLookDone() const { return firstLookDone_; }
    // True when a look now could find anything out: the first look's window is open, or the
    // answer is due.
    bool wantsLook(double now) const {
        return firstLookDone_ ? now >= restUntil_ || now > deadline_ : now >= sentAt_ + QUIET_S;
    }
    // Looks at the bytes the queue holds. Returns true when the wait is over; reply says how.
    bool look(int queued);
    Reply &reply() { return reply_; }

  private:
    bool end(Verdict verdict, int take);
    // The earliest an answer is read: after the pause of a direct read.
    double takeFrom() const { return sentAt_ + awaited_.pause; }

    const Awaited awaited_;
    const double sentAt_;
    const double deadline_;
    double restUntil_;
    bool firstLookDone_ = false;
    bool wholeSeen_ = false; // a look found the whole answer: it is taken once quiet after it
    Reply reply_;
};

bool AnswerWait::end(Verdict verdict, int take) {
    reply_.verdict = verdict;
    reply_.seconds = Timer() - sentAt_;
    reply_.takenAt = Timer();
    reply_.dueAt = sentAt_ + (FRAME_BYTES + awaited_.bytes) * BYTE_S + DELIVERY_S;
    if (take > 0)
        Take(reply_, take, awaited_.bytes);
    return true;
}

bool AnswerWait::look(int queued) {
    const double now = Timer();
    if (!firstLookDone_) {
        // Taken at any look from a couple of character times after the request on, so that
        // lines looked at together share a wake; before then the last answer's quiet is unknown.
        if (now < sentAt_ + QUIET_S)
            return false;
        firstLookDone_ = true;
        // A look after the answer could have begun can't tell stray bytes from its own.
        const bool timely = now < sentAt_ + FRAME_BYTES * BYTE_S;
        reply_.early = timely ? std::max(queued, 0) : 0;
        if (awaited_.firstLook)
            (*awaited_.firstLook)(reply_.early);
        if (timely && queued >= awaited_.bytes) {
            reply_.queued = queued;
            return end(TOO_FAST, queued);
        }
    }
    if (awaited_.stopped && (*awaited_.stopped)())
        return end(STOPPED, 0);
    if (ComDeviceGone(line->port) || queued < 0)
        return end(GONE, 0);
    reply_.queued = queued;
    if (queued > awaited_.bytes)
        return end(STRAY, queued);
    if (queued == awaited_.bytes) {
        if (!awaited_.quietCheck || (wholeSeen_ && now >= restUntil_))
            return end(TAKEN, queued);
        // A direct read's pause mostly holds the quiet already: its look came that much early.
        if (!wholeSeen_) {
            wholeSeen_ = true;
            restUntil_ = std::max(now + ANSWER_QUIET_S, takeFrom());
        }
        return false;
    }
    if (now > deadline_)
        return end(TIMED_OUT, queued);
    // The line time of all but the last byte missing is slept; that byte is watched for, so
    // that an answer a little late is taken as it ends, not a character time after.
    if (queued > 0)
        restUntil_ = std::max(restUntil_, now + (awaited_.bytes - queued - 1) * BYTE_S);
    return false;
}

// The one wait for an answer on the current line.
Reply Await(const Awaited &awaited, double sentAt) {
    AnswerWait wait(awaited, sentAt);
    for (;;) {
        const int queued =
            ComWaitUntil(line->port, wait.due(), wait.watching() ? 1 : 0, awaited.events);
        if (wait.look(queued))
            return wait.reply();
    }
}

// Sends the request and waits for its answer; *written is what ComWrt took of it.
Reply Exchange(int order, const unsigned short *words, const Awaited &awaited, bool flush,
               int *written) {
    PrepareLine(flush, awaited.events);
    *written = SendFrame(order, words);
    return Await(awaited, line->sentAt);
}

const char *ReplyKindName(int bytes) {
    return bytes == FRAME_BYTES ? "answer" : bytes == FIRMWARE_BYTES ? "firmware text" : "block";
}

// The read error of a reply that was not taken, with how many bytes were stray. The line is
// settled, and what that threw away counts too; when the next request is out already (settle
// false), the stray bytes stay, and spoil the answer they come before.
Outcome ReadError(const Reply &reply, int bytes, bool settle) {
    Outcome error;
    error.code = OUTCOME_READ_ERROR;
    error.text = "read error";
    const std::string kind = ReplyKindName(bytes);
    const int thrown = settle ? Settle(Timer() + SETTLE_LIMIT_S) : 0;
    if (reply.verdict == TOO_FAST) {
        char seconds[160];
        std::snprintf(seconds, sizeof seconds,
                      "%.1f ms after the request, before 19200 baud can have carried the request "
                      "to the controller (%.1f ms)",
                      reply.seconds * 1000, FRAME_BYTES * BYTE_S * 1000);
        error.cause = std::to_string(reply.queued) + " bytes were there " + seconds + " on " +
                      PortName(line->port) + ": not its " + kind + "; nothing was taken";
    } else {
        const int stray = int(reply.bytes.size()) - bytes + reply.discarded + thrown;
        error.cause = std::to_string(stray) + " stray byte" + (stray == 1 ? "" : "s") +
                      " with the " + std::to_string(bytes) + "-byte " + kind + " on " +
                      PortName(line->port) +
                      " (noise on the line, or another device talking?); nothing was taken";
    }
    return error;
}

// The outcome of a time-out: text, then which device stayed silent and what to check.
Outcome NoAnswer(const char *text, double limit) {
    return Failed(OUTCOME_NO_ANSWER, text,
                  "no answer on " + PortName(line->port) + " within " + Seconds(limit) +
                      " s \u2014 is the controller powered and on this port?" +
                      LineErrorsText(GetComLineErrors(line->port)));
}

// The words of a reply: a frame's sixteen after its header, or all of a reply without one.
void TakeWords(Outcome &taken, const Reply &reply) {
    taken.bytes = reply.bytes;
    taken.seconds = reply.seconds;
    const bool frame = reply.bytes.size() == size_t(FRAME_BYTES);
    const size_t first = frame ? 4 : 0;
    if (frame)
        taken.answerOrder = WordAt(reply.bytes.data() + 2);
    for (size_t i = first; i + 1 < reply.bytes.size(); i += 2)
        taken.words.push_back(WordAt(reply.bytes.data() + i));
}

// The outcome of a reply: taken, or why not, with the texts of the operation. A read error settles
// the line, unless the next request is out already (settle false).
Outcome Finish(const Reply &reply, int bytes, const char *takenText, const char *timeoutText,
               double limit, bool settle = true) {
    if (reply.verdict == STRAY || reply.verdict == TOO_FAST)
        return ReadError(reply, bytes, settle);
    if (reply.verdict == GONE)
        return Failed(OUTCOME_DEVICE_GONE, timeoutText, "");
    if (reply.verdict == TIMED_OUT)
        return NoAnswer(timeoutText, limit);
    Outcome taken;
    taken.text = takenText ? takenText : "";
    TakeWords(taken, reply);
    return taken;
}

// The outcome of the line check's answer: its word 0 must be 0x00AA.
Outcome CheckedLine(const Reply &reply) {
    Outcome checked =
        Finish(reply, FRAME_BYTES, "Echo Check - Line Ok!", "Timeout < 36 Bytes", LINE_TIMEOUT_S);
    if (checked.ok() && checked.words[0] != LINE_OK_ECHO) {
        checked.code = OUTCOME_WRONG_ANSWER;
        checked.text = "read error - not sync byte 0xAA!";
    }
    return checked;
}

// A parameter read, in the turn of the operation that asked for it.
Outcome ReadSetInTurn(int target, const Words &image, const ReadTexts &texts, StepReporter steps) {
    int written = 0;
    const Reply reply =
        Exchange(target == EEPROM ? ORDER_READ_EEPROM : ORDER_READ_RAM, image.data(),
                 {FRAME_BYTES, GET_TIMEOUT_S, 0, true, nullptr, true}, true, &written);
    if (written == FRAME_BYTES)
        Tell(steps, texts.written);
    else if (reply.verdict == TIMED_OUT)
        return NotSent(texts.timeout, written);
    return Finish(reply, FRAME_BYTES, texts.taken, texts.timeout, GET_TIMEOUT_S);
}

// A directly read order (line check, flash): the answer's word 0 is its echo.
Reply ExchangeDirect(int order, const unsigned short *words, bool flush) {
    int written = 0;
    return Exchange(order, words, {FRAME_BYTES, LINE_TIMEOUT_S, LINE_PAUSE_S, false, nullptr, true},
                    flush, &written);
}

// The live values of one order-8 exchange, in the caller's turn.
Outcome ReadLiveValuesInTurn(const Words &image) {
    int written = 0;
    const Reply reply =
        Exchange(ORDER_LIVE_VALUES, image.data(),
                 {FRAME_BYTES, LINE_TIMEOUT_S, 0, true, nullptr, true}, true, &written);
    return Finish(reply, FRAME_BYTES, nullptr, "Timeout-RS-232...", LINE_TIMEOUT_S);
}

} // namespace

const ReadTexts GET_TEXTS = {"Transmit Ok!", "Data Transfer Ok!", "Timeout RS232-Line!"};
const ReadTexts READ_BACK_TEXTS = {"Waiting for parameter-frame ...",
                                   "Parameter-frame received! - Line Ok!", "Timeout-RS-232..."};

std::string Outcome::shown() const {
    return cause.empty() ? text : text.empty() ? cause : text + ": " + cause;
}

unsigned short WordAt(const unsigned char *at) {
    return static_cast<unsigned short>(at[0] << 8 | at[1]);
}

void EncodeFrame(int order, const unsigned short *words, unsigned char frame[FRAME_BYTES]) {
    const auto put = [](unsigned char *at, int word) {
        at[0] = static_cast<unsigned char>((word >> 8) & 0xFF);
        at[1] = static_cast<unsigned char>(word & 0xFF);
    };
    put(frame, FRAME_SYNC);
    put(frame + 2, order);
    for (int i = 0; i < PNUM; ++i)
        put(frame + 4 + 2 * i, words[i]);
}

void ObserveTraffic(TrafficObserver traffic) {
    observer = traffic;
}

std::string PortName(int port) {
    char device[MAX_PATHNAME_LEN];
    GetComDeviceName(port, device, sizeof device);
    return ComPortLabel(port) + ": " + device;
}

const char *ComErrorText(int code) {
    switch (code) {
    case COM_UNKNOWN_SYSTEM_ERROR:
        return "Unknown system error";
    case COM_INVALID_PORT_NUMBER:
        return "Invalid port number";
    case COM_PORT_NOT_OPEN:
        return "Port is not open";
    case COM_IO_ERROR:
        return "Unknown I/0 error";
    case COM_NO_SERIAL_PORT:
        return "No serial port found";
    case COM_CANNOT_OPEN_PORT:
        return "Cannot open port";
    case COM_INVALID_PARAMETER:
        return "Invalid parameter";
    case COM_TIMEOUT:
        return "Timeout";
    default:
        return "RS-232 error!";
    }
}

void SelectLine(int port) {
    line = &lines[port];
    line->port = port;
}

Outcome OpenLine(int port) {
    SelectLine(port);
    CloseLine();
    line->firmware.clear();
    Outcome opened;
    Turn turn(LINE_OPENING);
    if (!turn.taken())
        return turn.refusal();
    const int result = OpenComConfig(port, "", LINE_BAUD, 0, 8, 1, 4096, 4096);
    if (result < 0) {
        opened.code = OUTCOME_NO_PORT;
        opened.text = ComErrorText(result);
        opened.cause = ComOpenFailureCause(port);
        return opened;
    }
    SetComTime(port, LINE_TIMEOUT_S);
    Discard();
    // The tail of another program's exchange may still be on its way.
    Settle(Timer() + SETTLE_LIMIT_S);
    SetCTSMode(port, 0);
    return opened;
}

void CloseLine(void) {
    // An answer still on its way passes first: the line is left clean for the next program.
    if (line->owed && GetInQLen(line->port) >= 0)
        SleepUntil(line->owedUntil, false);
    if (line->port > 0)
        CloseCom(line->port);
    line->owed = false;
    line->unsettled = false;
}

bool LineOpening(void) {
    return line->busyWith == LINE_OPENING;
}

int LinePort(void) {
    return line->port;
}

const std::string &LineFirmware(void) {
    return line->firmware;
}

const char *LineBusyWith(void) {
    return line->busyWith;
}

Outcome LineBusyRefusal(void) {
    Outcome busy;
    busy.code = OUTCOME_BUSY;
    busy.text = "Line busy";
    busy.cause = std::string(line->busyWith ? line->busyWith : "the live run") +
                 " waits for its answer on " + ComPortLabel(line->port) +
                 "; nothing was sent - try again when it is done";
    return busy;
}

bool LiveRunActive(void) {
    return line->liveRun;
}

void DiscardLine(void) {
    if (line->busyWith && !line->liveRun)
        return;
    if (line->handOnPending)
        line->handOnPending(std::max(GetInQLen(line->port), 0));
    Discard();
}

Outcome CheckLine(const Words &image, StepReporter) {
    Turn turn("the line check");
    if (!turn.taken())
        return turn.refusal();
    return CheckedLine(ExchangeDirect(ORDER_LINE_CHECK, image.data(), true));
}

Outcome ReadSet(int target, const Words &image, const ReadTexts &texts, StepReporter steps) {
    Turn turn(target == EEPROM ? "the EEPROM read" : "the RAM read");
    if (!turn.taken())
        return turn.refusal();
    return ReadSetInTurn(target, image, texts, steps);
}

Outcome WriteSet(int target, const Words &words, StepReporter steps) {
    Turn turn("send");
    if (!turn.taken())
        return turn.refusal();
    PrepareLine(false, false);
    const int written =
        SendFrame(target == EEPROM ? ORDER_WRITE_EEPROM : ORDER_WRITE_RAM, words.data());
    if (written != FRAME_BYTES)
        return NotSent("Transmit...", written);
    Outcome sent;
    sent.text = "Transmit Ok!";
    Tell(steps, sent.text.c_str());
    return sent;
}

Outcome TeachOrReset(int order, const Words &image, StepReporter steps) {
    Turn turn(order == ORDER_TEACH ? "teach" : "reset");
    if (!turn.taken())
        return turn.refusal();
    const char *timeoutText = "Timeout RS-232!!";
    int written = 0;
    PrepareLine(true, true);
    written = SendFrame(order, image.data());
    const double sentAt = line->sentAt;
    if (written == FRAME_BYTES)
        Tell(steps, "Line Ok!");
    if (order == ORDER_TEACH)
        Tell(steps, "New setpoint value teached!");
    const Reply reply = Await({FRAME_BYTES, TEACH_TIMEOUT_S, 0, true, nullptr, true}, sentAt);
    if (written != FRAME_BYTES && reply.verdict == TIMED_OUT)
        return NotSent(timeoutText, written);
    const Outcome answer = Finish(reply, FRAME_BYTES, nullptr, timeoutText, TEACH_TIMEOUT_S);
    if (!answer.ok())
        return answer;
    Outcome readBack = ReadSetInTurn(RAM, image, READ_BACK_TEXTS, steps);
    if (readBack.code == OUTCOME_NO_ANSWER) {
        Tell(steps, readBack.text.c_str());
        readBack.text = timeoutText;
        readBack.cause = "the set was not read back: " + readBack.cause;
    } else if (readBack.ok() && readBack.seconds > TEACH_TIMEOUT_S) {
        Tell(steps, readBack.text.c_str());
        readBack.text = timeoutText;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f", readBack.seconds);
        readBack.cause = std::string("the set was read back, but after ") + seconds +
                         " s, later than the " + Seconds(TEACH_TIMEOUT_S) + " s " +
                         (order == ORDER_TEACH ? "teach" : "reset") + " allows";
    }
    return readBack;
}

Outcome ReadFirmware(const Words &image, StepReporter steps) {
    Turn turn("the firmware read");
    if (!turn.taken())
        return turn.refusal();
    int written = 0;
    PrepareLine(true, false);
    written = SendFrame(ORDER_FIRMWARE, image.data());
    const double sentAt = line->sentAt;
    Tell(steps, "Waiting for firmware info ...");
    const Reply reply = Await({FIRMWARE_BYTES, LINE_TIMEOUT_S, 0, false, nullptr, true}, sentAt);
    if (written != FRAME_BYTES && reply.verdict == TIMED_OUT)
        return NotSent("Timeout - reading firmware info!", written);
    Outcome firmware =
        Finish(reply, FIRMWARE_BYTES, nullptr, "Timeout - reading firmware info!", LINE_TIMEOUT_S);
    if (!firmware.ok())
        return firmware;
    int values[FIRMWARE_BYTES / 2];
    std::copy(firmware.words.begin(), firmware.words.end(), values);
    char text[FIRMWARE_BYTES];
    FmtWordsAsText(text, sizeof text, values, FIRMWARE_BYTES / 2);
    firmware.text = text;
    line->firmware = text;
    return firmware;
}

Outcome ReadBlock(int offset, int source, StepReporter steps) {
    Turn turn("a curve block");
    if (!turn.taken())
        return turn.refusal();
    const Words request = {static_cast<unsigned short>(offset),
                           static_cast<unsigned short>(source)};
    PrepareLine(true, false);
    SendFrame(ORDER_DATA_BLOCK, request.data());
    const double sentAt = line->sentAt;
    Tell(steps, "Waiting for Data[64] ...");
    const Reply reply = Await({BLOCK_BYTES, BLOCK_TIMEOUT_S, 0, false, nullptr, true}, sentAt);
    return Finish(reply, BLOCK_BYTES, "Data[64] block received!",
                  "Timeout-RS-232 while reading 64 data-words!", BLOCK_TIMEOUT_S);
}

Outcome ReadLiveValues(const Words &image) {
    Turn turn("the live values");
    if (!turn.taken())
        return turn.refusal();
    return ReadLiveValuesInTurn(image);
}

namespace {

const char LIVE_TIMEOUT_TEXT[] = "Timeout RS232-Line!";
// How long a single live run sleeps at most between looks when nothing is due sooner.
const double LIVE_IDLE_S = 3600.0;

} // namespace

// One line's live run: its answer wait, and the answer taken last until the line after it is
// known to have stayed quiet (handed on then, or on a stop or flush, whichever comes first).
struct LiveRuns::Run {
    int port = 0;
    bool probe = false; // one line check, and no live run
    Words image{};      // the probe's words
    LiveRun live;
    double started = 0;
    double sentAt = 0;
    Reply taken;
    bool unsure = false;
    std::function<void(int)> handOn;
    Awaited awaited{};
    std::unique_ptr<AnswerWait> wait;
};

LiveRuns::LiveRuns() = default;

LiveRuns::~LiveRuns() {
    for (const std::unique_ptr<Run> &run : runs_)
        leave(*run);
}

bool LiveRuns::running() const {
    return !runs_.empty();
}

LiveRuns::Run *LiveRuns::add(int port, const char *busyWith) {
    SelectLine(port);
    if (line->busyWith)
        return nullptr;
    runs_.push_back(std::make_unique<Run>());
    Run &run = *runs_.back();
    run.port = port;
    line->busyWith = busyWith;
    return &run;
}

Outcome LiveRuns::start(int port, const LiveRun &live) {
    Run *added = add(port, "the live run");
    if (!added)
        return LineBusyRefusal();
    Run &run = *added;
    run.live = live;
    run.started = Timer();
    run.handOn = [&run](int strayAfter) {
        if (!run.unsure)
            return;
        run.unsure = false;
        run.taken.discarded += strayAfter;
        if (run.taken.discarded > 0)
            run.taken.verdict = STRAY;
        // A look that came late finds the answer later than it came: it is due's.
        const double answered = std::min(run.taken.takenAt, run.taken.dueAt);
        run.live.answer(
            Finish(run.taken, FRAME_BYTES, nullptr, LIVE_TIMEOUT_TEXT, GET_TIMEOUT_S, false),
            answered - run.started);
    };
    // The controller can't have begun an answer before its first look: what was there came
    // after the answer before, which is known then.
    run.awaited = {
        FRAME_BYTES, GET_TIMEOUT_S, 0, true, run.live.stopped ? &run.live.stopped : nullptr,
        false,       &run.handOn};
    line->liveRun = true;
    line->handOnPending = run.handOn;
    GetInQLen(port);
    if (send(run) == FRAME_BYTES)
        Tell(live.steps, "Line Ok!");
    return {};
}

Outcome LiveRuns::probe(int port, const Words &image) {
    Run *added = add(port, "the line check");
    if (!added)
        return LineBusyRefusal();
    Run &run = *added;
    run.probe = true;
    run.image = image;
    run.awaited = {FRAME_BYTES, LINE_TIMEOUT_S, LINE_PAUSE_S, true, nullptr, true, nullptr};
    PrepareLine(true, true);
    SendFrame(ORDER_LINE_CHECK, run.image.data());
    run.sentAt = line->sentAt;
    run.wait = std::make_unique<AnswerWait>(run.awaited, run.sentAt);
    return {};
}

int LiveRuns::send(Run &run) {
    // Each request goes out at once; what the flush before it throws away followed the answer.
    // The line was looked at just now, for the answer or at the start.
    const Words image = run.live.image();
    PrepareLine(false, true);
    const int thrown = Discard(false);
    if (run.unsure)
        run.taken.discarded += thrown;
    const int written = SendFrame(ORDER_LIVE_VALUES, image.data());
    run.sentAt = line->sentAt;
    run.wait = std::make_unique<AnswerWait>(run.awaited, run.sentAt);
    return written;
}

void LiveRuns::leave(Run &run) {
    SelectLine(run.port);
    ComWatch(run.port, 1);
    line->liveRun = false;
    line->handOnPending = nullptr;
    line->busyWith = nullptr;
}

bool LiveRuns::serve(Run &run, Outcome *ended) {
    // Until the first look the line was watched: what came is in the queue, without a read.
    const int queued = run.wait->firstLookDone() ? GetInQLen(run.port) : ComQueued(run.port);
    if (!run.wait->look(queued))
        return false;
    const Reply reply = run.wait->reply();
    if (run.probe) {
        *ended = CheckedLine(reply);
        return true;
    }
    if (reply.verdict == STOPPED) {
        line->owed = true;
        line->owedUntil = run.sentAt + 2 * FRAME_BYTES * BYTE_S + TURNAROUND_S;
        ended->code = OUTCOME_STOPPED;
        return true;
    }
    if (reply.verdict == TAKEN) {
        run.taken = reply;
        run.unsure = true;
        if (run.live.commandsWaiting && run.live.commandsWaiting()) {
            run.handOn(ComQuietFor(line->port, ANSWER_QUIET_S));
            line->busyWith = nullptr;
            run.live.between();
            SelectLine(run.port);
            line->busyWith = "the live run";
            if (run.live.stopped && run.live.stopped()) {
                ended->code = OUTCOME_STOPPED;
                return true;
            }
        }
    } else {
        *ended = Finish(reply, FRAME_BYTES, nullptr, LIVE_TIMEOUT_TEXT, GET_TIMEOUT_S);
        if (ended->code != OUTCOME_READ_ERROR)
            return true;
        run.live.answer(*ended, Timer() - run.started);
    }
    send(run);
    return false;
}

std::vector<std::pair<int, Outcome>> LiveRuns::step(double until) {
    ports_.clear();
    watch_.clear();
    double wake = until;
    for (const std::unique_ptr<Run> &run : runs_) {
        ports_.push_back(run->port);
        watch_.push_back(run->wait->watching() ? 1 : 0);
        wake = std::min(wake, run->wait->due());
    }
    ComWaitAny(ports_.data(), watch_.data(), int(ports_.size()), wake);
    std::vector<std::pair<int, Outcome>> ended;
    const double now = Timer();
    for (auto at = runs_.begin(); at != runs_.end();) {
        Run &run = **at;
        Outcome end;
        if (!run.wait->wantsLook(now)) {
            ++at;
            continue;
        }
        SelectLine(run.port);
        if (!serve(run, &end)) {
            ++at;
            continue;
        }
        leave(run);
        ended.emplace_back(run.port, end);
        at = runs_.erase(at);
    }
    return ended;
}

Outcome RunLive(const LiveRun &run) {
    LiveRuns runs;
    const Outcome started = runs.start(line->port, run);
    if (!started.ok())
        return started;
    for (;;) {
        const std::vector<std::pair<int, Outcome>> ended = runs.step(Timer() + LIVE_IDLE_S);
        if (!ended.empty())
            return ended.front().second;
    }
}

Outcome FlashInfo(int address, int info) {
    Turn turn("flash");
    if (!turn.taken())
        return turn.refusal();
    const Words request = {static_cast<unsigned short>(info), static_cast<unsigned short>(address)};
    Outcome echo = Finish(ExchangeDirect(ORDER_FLASH_INFO, request.data(), false), FRAME_BYTES,
                          "ok:  SendInfoBlockToFlash!", "Timeout: SendInfoBlockToFlash < 36 Bytes",
                          LINE_TIMEOUT_S);
    if (echo.ok() && echo.words[0] != FLASH_INFO_ACCEPTED) {
        echo.code = OUTCOME_WRONG_ANSWER;
        echo.text = "error : unknown F801 echo at order-20!";
    }
    return echo;
}

Outcome FlashData(const Words &words) {
    Turn turn("flash");
    if (!turn.taken())
        return turn.refusal();
    Outcome echo = Finish(ExchangeDirect(ORDER_FLASH_DATA, words.data(), false), FRAME_BYTES,
                          nullptr, "Timeout < 36 Bytes", LINE_TIMEOUT_S);
    if (!echo.ok())
        return echo;
    switch (echo.words[0]) {
    case 0:
        echo.code = OUTCOME_WRONG_ANSWER;
        echo.text = "error : F801 FLASH erase-adress not valid!";
        break;
    case 1:
        echo.text = "ok : F801 FLASH erase-adress valid!";
        break;
    case 2:
        echo.text = "ok : F801 FLASH block-write 16-words!";
        break;
    default:
        echo.code = OUTCOME_WRONG_ANSWER;
        echo.text = "error : F801 unknown-echo at order=21!";
        break;
    }
    return echo;
}

Outcome StartUp(int port, const Words &image, StepReporter steps) {
    Outcome opened = OpenLine(port);
    if (!opened.ok())
        return opened;
    const Outcome checked = CheckLine(image, steps);
    if (!checked.ok())
        return checked;
    Tell(steps, checked.text.c_str());
    return ReadStartUpSet(image, steps);
}

Outcome ReadStartUpSet(const Words &image, StepReporter steps) {
    Outcome set = ReadSet(RAM, image, READ_BACK_TEXTS, steps);
    if (!set.ok())
        return set;
    Tell(steps, set.text.c_str());
    const Outcome firmware = ReadFirmware(image, steps);
    if (!firmware.ok())
        return firmware;
    set.text = firmware.text;
    return set;
}

Outcome Capture(int source, const Words &image, Outcome *live, StepReporter steps) {
    Outcome curve;
    const int blocks = source == 1 ? 2 : 4;
    for (int block = 0; block < blocks; ++block) {
        const Outcome read = ReadBlock(block * BLOCK_WORDS, source, steps);
        if (!read.ok())
            return read;
        Tell(steps, read.text.c_str());
        curve.words.insert(curve.words.end(), read.words.begin(), read.words.end());
        curve.text = read.text;
    }
    *live = ReadLiveValues(image);
    return curve;
}

Outcome FlashTable(const int *table, const FlashHooks &hooks) {
    Outcome flashed;
    std::string failures; // each page that failed, and why
    int failed = 0;
    for (int page = 0; page < FLASH_PAGES; ++page) {
        const int address = FLASH_FIRST_PAGE_ADDRESS + page * FLASH_PAGE_WORDS;
        const int *data = table + page * FLASH_PAGE_WORDS;
        Outcome step;
        for (int block = 0; step.ok() && block < FLASH_BLOCKS_PER_PAGE; ++block) {
            Words words;
            for (int i = 0; i < PNUM; ++i) {
                words[size_t(i)] = static_cast<unsigned short>(data[block * PNUM + i] & 0xFFFF);
                if (hooks.progress)
                    hooks.progress(block * PNUM + i + 1);
            }
            step = FlashInfo(address + block * PNUM, 0);
            if (step.ok()) {
                step = FlashData(words);
                Tell(hooks.steps, step.shown().c_str());
            }
            if (step.ok() && block == 0)
                Delay(FLASH_FIRST_BLOCK_PAUSE_S);
        }
        char text[64];
        std::snprintf(text, sizeof text,
                      step.ok() ? "ok : F801 FLASH page%d-write 255 words!"
                                : "error : F801 FLASH page%d-write <255 words!",
                      page + 4);
        Tell(hooks.steps, text);
        if (step.ok()) {
            flashed.text = text;
        } else {
            ++failed;
            failures += (failures.empty() ? "page " : "; page ") + std::to_string(page + 4) + ": " +
                        step.shown();
            flashed.code = step.code;
        }
        if (page + 1 < FLASH_PAGES)
            Delay(FLASH_PAGE_PAUSE_S);
    }
    if (hooks.progress)
        hooks.progress(0);
    if (failed > 0) {
        char text[64];
        std::snprintf(text, sizeof text, "error : F801 FLASH %d of 4 pages not written!", failed);
        flashed.text = text;
        flashed.cause = failures;
    }
    return flashed;
}

} // namespace kelvaro
