// What every line shares: the choice of transport by the device's name, the waits on a
// descriptor, and what a failed write means.
#include "line.h"

#include "network_line.h"
#include "terminal_line.h"
#include "utility.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>

std::unique_ptr<Line> OpenDeviceLine(const std::string &device, const ComPortSettings &settings,
                                     const LineOpenWait &wait, std::string *cause) {
    // The server decides who else may use its line: no lock of ours can reach it. A device on this
    // machine is the program's alone, since a second program on it would steal answers.
    if (IsNetworkLineName(device))
        return OpenNetworkLine(device, settings, wait, cause);
    return OpenTerminalLine(device, settings, cause);
}

int PollDescriptor(int fd, short events, double seconds) {
    pollfd pfd{fd, events, 0};
    seconds = std::max(seconds, 0.0);
    timespec timeout{};
    timeout.tv_sec = time_t(seconds);
    timeout.tv_nsec = long((seconds - double(timeout.tv_sec)) * 1e9);
    return ::ppoll(&pfd, 1, &timeout, nullptr);
}

bool WaitForDescriptor(int fd, short events, double deadline) {
    for (;;) {
        const double left = deadline - Timer();
        if (left <= 0) {
            errno = EAGAIN;
            return false;
        }
        const int ready = PollDescriptor(fd, events, left);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

LineFailure WriteFailure(int error) {
    const bool gone = error == ENXIO || error == ENODEV || error == EPIPE || error == ECONNRESET ||
                      error == ETIMEDOUT;
    return {gone ? LineFailure::LOST : LineFailure::FAILED, std::strerror(error)};
}
