// Fuzz target of the receive side: line bytes in arbitrary pieces through a port's input queue,
// looked at, waited on, read and flushed as the exchange core does, each read checked against
// what was sent; and what the frame log says of any bytes.
#include "frame_log.h"
#include "serial.h"
#include "utility.h"

#include <QCoreApplication>

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
const int MOST_STEPS = 64;
const int MOST_READ = 300;

int master = -1;
// A second descriptor of the slave, never read: it shows how much the line holds for the port.
int watch = -1;

// What the program should see: every byte sent during this input and where its next read starts.
struct Line {
    std::string sent;
    size_t next = 0;
    // Cleared when a byte may still be on its way (the system was too slow to deliver it), or a
    // flush may have left some on the line: reads are then only checked to come from what was
    // sent, in order.
    bool exact = true;
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

// A count of the queue: within it, and what was sent and not yet read as far as it has room.
void CheckCount(const Line &line, int queued, bool lookedAtTheDevice) {
    if (queued < 0 || queued > QUEUE_BYTES)
        Fail("input queue length outside the queue", queued);
    if (line.exact && lookedAtTheDevice &&
        size_t(queued) != std::min(line.sent.size() - line.next, size_t(QUEUE_BYTES)))
        Fail("input queue does not hold what was sent", queued);
}

// Reads what the queue holds, up to wanted, and says what the frame log would of it.
void Read(Line &line, int wanted) {
    std::vector<unsigned char> bytes(static_cast<size_t>(wanted));
    const int read = ComRd(PORT, reinterpret_cast<char *>(bytes.data()), wanted);
    if (read < 0 || read > wanted)
        Fail("a read returned more than asked", read);
    Match(line, bytes.data(), size_t(read));
    for (const kelvaro::Traffic kind :
         {kelvaro::TRAFFIC_SENT, kelvaro::TRAFFIC_ANSWER, kelvaro::TRAFFIC_FIRMWARE,
          kelvaro::TRAFFIC_BLOCK, kelvaro::TRAFFIC_DISCARDED})
        if (kelvaro::TrafficMeaning(kind, bytes.data(), read).empty())
            Fail("the frame log says nothing of bytes", read);
}

void DrainMaster() {
    char bytes[4096];
    while (read(master, bytes, sizeof bytes) > 0) {
    }
}

// Nothing of this input may reach the next one: read until the line stays empty.
void Settle() {
    for (int quiet = 0, tries = 0; quiet < 2 && tries < 100; ++tries) {
        usleep(2000);
        char bytes[QUEUE_BYTES];
        while (ComRd(PORT, bytes, QUEUE_BYTES) > 0) {
        }
        quiet = GetInQLen(PORT) == 0 && Waiting() == 0 ? quiet + 1 : 0;
    }
}

enum Step { SEND, FILL, LOOK, COUNT, WAIT, QUIET, READ, FLUSH, STEP_KINDS };

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Qt keeps argc by reference and takes out the options it knows: not the fuzzer's.
    static int argc = 1;
    static char name[] = "fuzz_receive";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);

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
    SetComTime(PORT, 0.0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The steps come from the input's end, the bytes of the line from its start.
    FuzzedDataProvider input(data, size);
    Line line;
    for (int step = 0; step < MOST_STEPS && input.remaining_bytes() > 0; ++step) {
        switch (Step(input.ConsumeIntegralInRange(0, STEP_KINDS - 1))) {
        case SEND: {
            const int sizes[] = {8, 40, 300, LINE_HOLDS};
            const int most = sizes[input.ConsumeIntegralInRange(0, 3)];
            Send(line, input.ConsumeBytesAsString(size_t(input.ConsumeIntegralInRange(1, most))));
            break;
        }
        case FILL: {
            // A long stretch of line from a short input, enough to take the queue round its end.
            const std::string pattern =
                input.ConsumeBytesAsString(size_t(input.ConsumeIntegralInRange(1, 40)));
            const size_t length = size_t(input.ConsumeIntegralInRange(1, LINE_HOLDS));
            std::string piece;
            while (!pattern.empty() && piece.size() < length)
                piece += pattern;
            Send(line, piece.substr(0, length));
            break;
        }
        case LOOK:
            CheckCount(line, GetInQLen(PORT), true);
            break;
        case COUNT:
            CheckCount(line, ComQueued(PORT), false);
            break;
        case WAIT:
            CheckCount(line, ComWaitUntil(PORT, Timer(), input.ConsumeBool(), 0), true);
            break;
        case QUIET:
            CheckCount(line, ComQuietFor(PORT, 0.0), true);
            break;
        case READ:
            Read(line, input.ConsumeIntegralInRange(1, MOST_READ));
            break;
        case FLUSH:
            // A terminal found empty just now is not flushed again: what came since may stay, to
            // be read after.
            FlushInQ(PORT);
            line.exact = false;
            break;
        case STEP_KINDS:
            break;
        }
    }
    FlushInQ(PORT);
    DrainMaster();
    Settle();
    return 0;
}
