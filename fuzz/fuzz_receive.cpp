// Fuzz target of the receive path: line bytes in arbitrary pieces through the port's input queue,
// the receive callback and the header-less reply reads, each read checked against what was sent.
#include "com232.h"
#include "frame_log.h"
#include "panel.h"
#include "serial.h"
#include "utility.h"

#include <QApplication>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

const int PORT = 1;
const int QUEUE_BYTES = 4096;
// The slave's line discipline holds 4095 bytes; writing no more than it can take means every byte
// sent reaches it, so what the program reads can be predicted exactly.
const int LINE_HOLDS = 4000;
const auto ARRIVAL_LIMIT = std::chrono::milliseconds(200);
// While a frame is incomplete the port rests, not watching the line, for up to the line time of
// a frame (36 bytes at 19200 baud, under 19 ms); an event run then waits out its 1 ms bound with
// nothing to do.
const auto LONGEST_REST = std::chrono::milliseconds(20);
const int MOST_STEPS = 64;

int master = -1;
// A second descriptor of the slave, never read: it shows how much the line holds for the port.
int watch = -1;
// After an event run found the port resting, pieces are taken in by polling until the rest is
// surely over: idle runs would make the fuzzer several times slower.
auto restingUntil = std::chrono::steady_clock::time_point();

// What the program should see: every byte sent during this input and where its next read starts.
struct Line {
    std::string sent;
    size_t next = 0;
    // Cleared when a byte may still be on its way (the system was too slow to deliver it): reads
    // are then only checked to come from what was sent, in order.
    bool exact = true;
    bool callback = true;
};

[[noreturn]] void Fail(const char *what, long value) {
    std::fprintf(stderr, "fuzz_receive: %s (%ld)\n", what, value);
    std::abort();
}

int Waiting() {
    int bytes = 0;
    if (ioctl(watch, FIONREAD, &bytes) != 0)
        Fail("FIONREAD on the slave failed", errno);
    return bytes;
}

// The bytes came from the line: the next ones sent, or after a flush some sent later.
void Match(Line &line, const unsigned char *bytes, size_t count) {
    const char *from = reinterpret_cast<const char *>(bytes);
    if (line.exact) {
        if (line.next + count > line.sent.size() ||
            line.sent.compare(line.next, count, from, count) != 0)
            Fail("a read did not return the next bytes sent", long(line.next));
        line.next += count;
        return;
    }
    const size_t at = line.sent.find(std::string(from, count), line.next);
    if (at == std::string::npos)
        Fail("a read returned bytes that were not sent, or not in order", long(count));
    line.next = at + count;
}

void Send(Line &line, const std::string &piece) {
    const int before = Waiting();
    const size_t room = size_t(std::max(LINE_HOLDS - before, 0));
    const size_t count = std::min(piece.size(), room);
    if (count == 0)
        return;
    const ssize_t written = write(master, piece.data(), count);
    if (written <= 0)
        return;
    line.sent.append(piece.data(), size_t(written));
    // The pseudo-terminal hands the bytes over from a kernel worker: wait until they are in (once
    // that took too long, not again, so a loaded machine cannot make an input look hung).
    if (!line.exact)
        return;
    const auto limit = std::chrono::steady_clock::now() + ARRIVAL_LIMIT;
    while (Waiting() < before + int(written)) {
        if (std::chrono::steady_clock::now() > limit) {
            line.exact = false;
            return;
        }
        sched_yield();
    }
}

// The queue holds what was sent and not yet read, as far as it has room.
int CheckQueue(const Line &line) {
    const int queued = GetInQLen(PORT);
    if (queued < 0 || queued > QUEUE_BYTES)
        Fail("input queue length outside the queue", queued);
    if (line.exact && size_t(queued) != std::min(line.sent.size() - line.next, size_t(QUEUE_BYTES)))
        Fail("input queue does not hold what was sent", queued);
    return queued;
}

// One event run; returns whether the receive callback took a frame in it.
bool RunEvents(Line &line) {
    kelvaro::rx_flag = 0;
    ProcessSystemEvents();
    if (!kelvaro::rx_flag)
        return false;
    if (!line.callback)
        Fail("a frame was taken with the callback removed", 0);
    if (kelvaro::nBytesR != kelvaro::FRAME_BYTES)
        Fail("the callback took a frame that is not whole", kelvaro::nBytesR);
    Match(line, kelvaro::szReadBuf, size_t(kelvaro::FRAME_BYTES));
    // The callback empties the queue and the line behind the frame.
    if (line.exact)
        line.next = line.sent.size();
    return true;
}

// A frame that is in the queue goes to the callback in the next event run.
void RunWhileFrameQueued(Line &line, int times) {
    for (int i = 0; i < times && line.callback && CheckQueue(line) >= kelvaro::FRAME_BYTES; ++i)
        if (!RunEvents(line) && line.exact)
            Fail("a whole frame in the queue did not reach the callback", i);
}

// As the firmware path shows its reply: the words' bytes as text, cut at a NUL.
void CheckText(int textSize) {
    const int count = kelvaro::nBytesR / 2;
    std::vector<int> words(size_t(count) + 1);
    for (int i = 0; i < count; ++i)
        words[size_t(i)] = kelvaro::szReadBuf[2 * i] << 8 | kelvaro::szReadBuf[2 * i + 1];
    std::vector<char> text(static_cast<size_t>(textSize));
    const int length = FmtWordsAsText(text.data(), textSize, words.data(), count);
    std::string expected;
    for (int i = 0; i < 2 * count && int(expected.size()) < textSize - 1; ++i) {
        const unsigned char byte = kelvaro::szReadBuf[i];
        if (byte == 0)
            break;
        expected += byte >= 0x20 && byte < 0x7F ? char(byte) : '?';
    }
    if (length != int(expected.size()) || text[size_t(length)] != '\0' ||
        expected.compare(0, expected.size(), text.data(), size_t(length)) != 0)
        Fail("the reply's text is not its printable bytes", length);
}

void ReadReply(Line &line, int wanted, int textSize) {
    const size_t waiting = line.sent.size() - line.next;
    const int queued = kelvaro::ReadReply(wanted, 0.0);
    if (queued < 0 || queued > QUEUE_BYTES)
        Fail("reply length outside the queue", queued);
    if (line.exact && size_t(queued) != std::min(waiting, size_t(QUEUE_BYTES)))
        Fail("reply length is not what was sent", queued);
    if (kelvaro::nBytesR < 0 || kelvaro::nBytesR > kelvaro::BUFFER_BYTES)
        Fail("reply read outside szReadBuf", kelvaro::nBytesR);
    if (kelvaro::nBytesR != std::min(queued, kelvaro::BUFFER_BYTES))
        Fail("reply read is not what was queued", kelvaro::nBytesR);
    Match(line, kelvaro::szReadBuf, size_t(kelvaro::nBytesR));
    CheckText(textSize);
}

void DrainMaster() {
    char bytes[4096];
    while (read(master, bytes, sizeof bytes) > 0) {
    }
}

// Nothing of this input may reach the next one: flush until the line stays empty.
void Settle() {
    for (int quiet = 0, tries = 0; quiet < 2 && tries < 100; ++tries) {
        usleep(2000);
        quiet = GetInQLen(PORT) == 0 && Waiting() == 0 ? quiet + 1 : 0;
        FlushInQ(PORT);
    }
}

enum Step { SEND_AND_RUN, SEND_AND_POLL, SEND_ONLY, READ_REPLY, SWITCH_CALLBACK, FILL, STEP_KINDS };

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Qt keeps argc by reference and takes out the options it knows: not the fuzzer's.
    static int argc = 1;
    static char name[] = "fuzz_receive";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);

    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || !ptsname(master)) {
        std::perror("fuzz_receive: pseudo-terminal");
        std::exit(1);
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    const std::string slave = ptsname(master);
    // Before the port: it takes the device exclusively, and a later open would find it busy.
    watch = open(slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int opened = OpenComConfig(PORT, slave.c_str(), 19200, 0, 8, 1, QUEUE_BYTES, QUEUE_BYTES);
    if (watch < 0 || opened != 0) {
        std::fprintf(stderr, "fuzz_receive: cannot open %s (%d: %s)\n", slave.c_str(), opened,
                     ComOpenFailureCause(PORT));
        std::exit(1);
    }
    // The port's lock file goes with it, not left behind for the next run to clear.
    std::atexit([] { CloseCom(PORT); });
    kelvaro::com = PORT;
    SetComTime(PORT, 0.0);
    InstallComCallback(PORT, kelvaro::eventMask, kelvaro::FRAME_BYTES, kelvaro::sync,
                       kelvaro::RX_Receive_Function, nullptr);
    // Every frame is described as the log would write it, so that text is fuzzed too.
    kelvaro::OpenFrameLogFile("/dev/null");
    FlushInQ(PORT);
    kelvaro::rx_flag = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The steps come from the input's end, the bytes of the line from its start.
    FuzzedDataProvider input(data, size);
    const int wanted = input.ConsumeBool() ? kelvaro::FIRMWARE_BYTES : kelvaro::BLOCK_BYTES;
    const int textSize = input.ConsumeIntegralInRange(1, kelvaro::FIRMWARE_BYTES);
    Line line;
    for (int step = 0; step < MOST_STEPS && input.remaining_bytes() > 0; ++step) {
        const auto kind = Step(input.ConsumeIntegralInRange(0, STEP_KINDS - 1));
        if (kind == READ_REPLY) {
            ReadReply(line, wanted, textSize);
            continue;
        }
        if (kind == SWITCH_CALLBACK) {
            // As the firmware and curve reads take the line for themselves, and give it back.
            if (line.callback) {
                kelvaro::RemoveReceiveCallback();
            } else {
                kelvaro::RestoreReceiveCallback();
                if (kelvaro::rx_flag != 0)
                    Fail("rx_flag set after the callback came back", kelvaro::rx_flag);
                if (line.exact)
                    line.next = line.sent.size();
            }
            line.callback = !line.callback;
            continue;
        }
        if (kind == FILL) {
            // A long stretch of line from a short input, enough to take the queue round its end.
            const std::string pattern =
                input.ConsumeBytesAsString(size_t(input.ConsumeIntegralInRange(1, 40)));
            const size_t length = size_t(input.ConsumeIntegralInRange(1, LINE_HOLDS));
            std::string piece;
            while (!pattern.empty() && piece.size() < length)
                piece += pattern;
            Send(line, piece.substr(0, length));
            continue;
        }
        const int sizes[] = {8, kelvaro::FRAME_BYTES + 4, 300, LINE_HOLDS};
        const int most = sizes[input.ConsumeIntegralInRange(0, 3)];
        Send(line, input.ConsumeBytesAsString(size_t(input.ConsumeIntegralInRange(1, most))));
        if (kind == SEND_AND_RUN && std::chrono::steady_clock::now() >= restingUntil) {
            RunEvents(line);
            if (Waiting() > 0)
                restingUntil = std::chrono::steady_clock::now() + LONGEST_REST;
            RunWhileFrameQueued(line, 2);
        } else if (kind != SEND_ONLY) {
            RunWhileFrameQueued(line, kind == SEND_AND_RUN ? 2 : 1);
        }
    }
    if (!line.callback)
        kelvaro::RestoreReceiveCallback();
    FlushInQ(PORT);
    kelvaro::rx_flag = 0;
    DrainMaster();
    if (!line.exact)
        Settle();
    return 0;
}
