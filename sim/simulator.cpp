// Serves the simulated controller on a pseudo-terminal, paced like a 19200-baud line.
#include "kelvaro_sim.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

namespace kvsim {

namespace {

// 10 bits a byte at 19200 baud, kept as an exact ratio so that deadlines never drift.
using ByteTimes = std::chrono::duration<long long, std::ratio<10, 19200>>;
constexpr ByteTimes BYTE_TIME{1};
constexpr auto SILENCE = std::chrono::milliseconds(100);
constexpr std::size_t MAX_KEPT_REQUESTS = 100000;
constexpr std::size_t READ_CHUNK = 4096;

// Bytes that the pseudo-terminal can't take are lost, as on a line that nobody reads.
void writeOut(int fd, const uint8_t *data, std::size_t count) {
    while (count > 0) {
        const ssize_t written = write(fd, data, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        data += written;
        count -= static_cast<std::size_t>(written);
    }
}

bool setFlags(int fd, int descriptorFlags, int statusFlags) {
    return fcntl(fd, F_SETFD, descriptorFlags) == 0 && fcntl(fd, F_SETFL, statusFlags) == 0;
}

std::string systemError(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

} // namespace

Simulator::Simulator() : Simulator(Options{}) {}

Simulator::Simulator(Options options) : options_(std::move(options)), controller_(options_.seed) {}

Simulator::~Simulator() {
    stop();
}

bool Simulator::start(const std::string &linkPath, std::string *error) {
    std::string failure;
    auto fail = [&](const std::string &message) {
        if (error) {
            *error = message;
        }
        closeAll();
        return false;
    };
    if (thread_.joinable()) {
        if (error) {
            *error = "already serving " + linkPath_;
        }
        return false;
    }
    if (!options_.eepromFile.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!controller_.attachEepromFile(options_.eepromFile, &failure)) {
            return fail(failure);
        }
    }
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        !setFlags(master_, FD_CLOEXEC, O_NONBLOCK)) {
        return fail(systemError("pseudo-terminal"));
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        return fail(systemError("pseudo-terminal name"));
    }
    // Held open for the simulator's whole life, so the program closing its port never hangs up
    // the master.
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios line{};
    if (slave_ < 0 || tcgetattr(slave_, &line) != 0) {
        return fail(systemError(name));
    }
    cfmakeraw(&line);
    cfsetispeed(&line, B19200);
    cfsetospeed(&line, B19200);
    if (tcsetattr(slave_, TCSANOW, &line) != 0) {
        return fail(systemError(name));
    }
    int wake[2];
    if (pipe(wake) != 0) {
        return fail(systemError("pipe"));
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    if (!setFlags(wakeRead_, FD_CLOEXEC, O_NONBLOCK) ||
        !setFlags(wakeWrite_, FD_CLOEXEC, O_NONBLOCK)) {
        return fail(systemError("pipe"));
    }
    struct stat existing {};
    if (lstat(linkPath.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
        return fail(linkPath + " exists and is not a symbolic link");
    }
    // Replaced in one step, so a program looking for the link never finds it missing.
    const std::string newLink = linkPath + ".new";
    unlink(newLink.c_str());
    if (symlink(name, newLink.c_str()) != 0 || rename(newLink.c_str(), linkPath.c_str()) != 0) {
        failure = systemError(linkPath);
        unlink(newLink.c_str());
        return fail(failure);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        devicePath_ = name;
    }
    linkPath_ = linkPath;
    thread_ = std::thread(&Simulator::serve, this);
    return true;
}

void Simulator::stop() {
    if (thread_.joinable()) {
        const uint8_t wake = 1;
        writeOut(wakeWrite_, &wake, 1);
        thread_.join();
    }
    if (!linkPath_.empty()) {
        // Leave the link alone when another simulator has taken it over.
        char target[256];
        const ssize_t length = readlink(linkPath_.c_str(), target, sizeof target - 1);
        if (length > 0 && std::string(target, static_cast<std::size_t>(length)) == devicePath_) {
            unlink(linkPath_.c_str());
        }
        linkPath_.clear();
    }
    closeAll();
}

void Simulator::closeAll() {
    for (int *fd : {&master_, &slave_, &wakeRead_, &wakeWrite_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

void Simulator::serve() {
    threadId_ = static_cast<long>(syscall(SYS_gettid));
    uint8_t buffer[READ_CHUNK];
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (reader_.hasPartial()) {
                const auto left = reader_.lastByteAt() + SILENCE - Clock::now();
                timeout = static_cast<int>(std::max<long long>(
                    std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0));
            }
        }
        pollfd fds[2] = {{master_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        const int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        const Clock::time_point now = Clock::now();
        if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN)) {
            if (!sleepUntil(now + SILENCE)) { // the line is gone; don't spin on it
                return;
            }
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (fds[0].revents & POLLIN) {
                const ssize_t got = read(master_, buffer, sizeof buffer);
                if (got > 0) {
                    reader_.push(buffer, static_cast<std::size_t>(got), now);
                }
            } else if (reader_.hasPartial() && now - reader_.lastByteAt() >= SILENCE) {
                reader_.dropPartial();
            }
        }
        for (;;) {
            Frame frame{};
            Clock::time_point firstByte;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!reader_.next(&frame, &firstByte)) {
                    break;
                }
            }
            answer(frame, firstByte);
        }
    }
}

void Simulator::answer(const Frame &request, Clock::time_point firstByte) {
    // A real controller can't act before the whole request has come down the line.
    if (options_.pacing &&
        !sleepUntil(firstByte + std::chrono::duration_cast<Clock::duration>(
                                    static_cast<long long>(FRAME_BYTES) * BYTE_TIME))) {
        return;
    }
    std::optional<Bytes> reply;
    Request record{orderOf(request), payloadOf(request), firstByte};
    double lateSeconds = 0.0;
    Clock::duration tailLate{};
    std::size_t tailBytes = 0;
    bool whole = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reply = controller_.handle(request);
        if (!reply) {
            return;
        }
        requests_.push_back(record);
        if (requests_.size() > MAX_KEPT_REQUESTS) {
            requests_.pop_front();
        }
        const Faults &faults = controller_.faults();
        if (faults.lateOrder < 0 || faults.lateOrder == record.order) {
            lateSeconds = faults.lateSeconds;
        }
        tailBytes = static_cast<std::size_t>(std::max(faults.tailBytes, 0));
        tailLate = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(faults.tailLateSeconds));
        // Bytes too many come with the answer in one piece: the reader then meets them whenever
        // it looks, however late this thread runs; a late hand-over is the tail's fault.
        const bool faulty = faults.faultyOrder < 0 || faults.faultyOrder == record.order;
        whole = faulty && tailBytes == 0 && (faults.strayBytes > 0 || faults.extraBytes > 0);
    }
    if (options_.onRequest) {
        options_.onRequest(record);
    }
    if (reply->empty()) {
        return;
    }
    Clock::time_point from = Clock::now();
    if (lateSeconds > 0) {
        from +=
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(lateSeconds));
        if (!sleepUntil(from)) {
            return;
        }
    }
    if (whole && options_.pacing) {
        const auto end = from + std::chrono::duration_cast<Clock::duration>(
                                    static_cast<long long>(reply->size()) * BYTE_TIME);
        if (sleepUntil(end)) {
            writeOut(master_, reply->data(), reply->size());
        }
        return;
    }
    send(*reply, from, tailBytes, tailLate);
}

void Simulator::send(const Bytes &bytes, Clock::time_point from, std::size_t tailBytes,
                     Clock::duration tailLate) {
    if (!options_.pacing) {
        writeOut(master_, bytes.data(), bytes.size());
        return;
    }
    // Each byte is handed over when its last bit would have arrived.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        auto due = from + std::chrono::duration_cast<Clock::duration>(
                              static_cast<long long>(i + 1) * BYTE_TIME);
        if (i + tailBytes >= bytes.size()) {
            due += tailLate;
        }
        if (!sleepUntil(due)) {
            return;
        }
        writeOut(master_, &bytes[i], 1);
    }
}

bool Simulator::sleepUntil(Clock::time_point deadline) {
    constexpr auto POLL_MARGIN = std::chrono::milliseconds(2);
    for (;;) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            return true;
        }
        if (left > POLL_MARGIN) {
            // Long waits watch the wake pipe so that stop() is never held up.
            pollfd wake{wakeRead_, POLLIN, 0};
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(left - POLL_MARGIN);
            if (poll(&wake, 1, static_cast<int>(ms.count()) + 1) > 0) {
                return false;
            }
            continue;
        }
        const auto sinceEpoch = deadline.time_since_epoch();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
        timespec due{};
        due.tv_sec = static_cast<time_t>(seconds.count());
        due.tv_nsec = static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds).count());
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
        }
        return true;
    }
}

bool Simulator::lineSettings(::termios *settings) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slave_ >= 0 && tcgetattr(slave_, settings) == 0;
}

std::string Simulator::devicePath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return devicePath_;
}

Words Simulator::ram() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return controller_.ram();
}

void Simulator::setRam(const Words &words) {
    std::lock_guard<std::mutex> lock(mutex_);
    controller_.setRam(words);
}

Words Simulator::eeprom() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return controller_.eeprom();
}

void Simulator::setEeprom(const Words &words) {
    std::lock_guard<std::mutex> lock(mutex_);
    controller_.setEeprom(words);
}

Page Simulator::flashPage(int page) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return controller_.flashPage(page);
}

void Simulator::scriptCurve(const std::array<uint16_t, CURVE_WORDS> &words) {
    std::lock_guard<std::mutex> lock(mutex_);
    controller_.scriptCurve(words);
}

std::array<uint16_t, CURVE_WORDS> Simulator::curve(bool norm) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return controller_.curve(norm);
}

Faults Simulator::faults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return controller_.faults();
}

void Simulator::setFaults(const Faults &faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    controller_.setFaults(faults);
}

void Simulator::scriptNorm(const std::vector<uint16_t> &values) {
    std::lock_guard<std::mutex> lock(mutex_);
    controller_.scriptNorm(values);
}

std::vector<Request> Simulator::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {requests_.begin(), requests_.end()};
}

void Simulator::clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

unsigned long Simulator::requestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return controller_.requestCount();
}

unsigned long Simulator::badFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reader_.badFrames() + controller_.badFrames();
}

} // namespace kvsim
