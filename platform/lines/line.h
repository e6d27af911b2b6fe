// A port's line: the one interface the serial service reads, writes and purges through, whatever
// carries the bytes (a terminal device, an RFC 2217 server, a raw TCP server).
#pragma once

#include "telnet_com_port.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

// The largest input queue a port can have: no more of what comes before a line is in use is
// kept.
const size_t MAX_INPUT_QUEUE_BYTES = 65536;

// What a read found: more may be waiting, the line is empty now, or it has ended.
struct LineRead {
    enum State { MORE, DRAINED, LOST };
    State state = DRAINED;
    size_t stored = 0;     // data bytes put in the room
    std::string lostCause; // with LOST: why, in the operator's words
};

// How a request on a line ended: done, failed (the line stays), or the line is gone.
struct LineFailure {
    enum Kind { NONE, FAILED, LOST };
    Kind kind = NONE;
    std::string cause;
};

// How an opening waits for poll events on a descriptor until a Timer() reading. Returns true when
// they came; false with errno EAGAIN when the deadline passed, ECANCELED when the opening was
// abandoned.
using LineOpenWait = std::function<bool(int fd, short events, double deadline)>;

class Line {
  public:
    virtual ~Line() = default; // closes the line and gives up what it holds
    Line() = default;
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    // The descriptor that becomes readable when the line has something.
    virtual int descriptor() const = 0;
    // Reads what has arrived, at most room bytes of data.
    virtual LineRead read(char *data, size_t room) = 0;
    // Writes count bytes by deadline (a Timer() reading). Returns the bytes of data that went out:
    // fewer when the deadline passed (*failure NONE) or the line failed (*failure says how).
    virtual size_t write(const char *bytes, size_t count, double deadline,
                         LineFailure *failure) = 0;
    // Discards what was received and not read.
    virtual LineFailure discardReceived() = 0;
    // Discards what was written and has not left for the line.
    virtual LineFailure discardUnsent() = 0;
    // The ComLineError bits the line reported since the last call.
    virtual int takeLineErrors() = 0;
    // Whether the line waits for CTS before sending.
    virtual LineFailure setCtsFlowControl(bool on) = 0;
};

// Opens the line device names: a terminal device's path (held for the program alone), or
// rfc2217://HOST:PORT or tcp://HOST:PORT. Returns the line, or nullptr with *cause in the
// operator's words. An opening that waits (for a server) waits through wait.
std::unique_ptr<Line> OpenDeviceLine(const std::string &device, const ComPortSettings &settings,
                                     const LineOpenWait &wait, std::string *cause);
// Whether a terminal can run at baudRate.
bool IsLineSpeed(long baudRate);

// Waits up to seconds for events on fd, to the microsecond: the quiet after an answer is a few
// milliseconds. Returns what ppoll does.
int PollDescriptor(int fd, short events, double seconds);
// Waits for events on fd until deadline (a Timer() reading), through signals. Returns true when
// they came; false with errno EAGAIN when the deadline passed.
bool WaitForDescriptor(int fd, short events, double deadline);
// What a failed write's errno means: the line gone (hung up, reset) or this request failed.
LineFailure WriteFailure(int error);
