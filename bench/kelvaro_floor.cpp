// kelvaro-floor: the least a bridge from serial controllers to MQTT can spend on the station's
// live work, for the benchmark to set the station's CPU cost against. One thread, one poll loop.
#include <mosquitto.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
// 10 bits a byte at 19200 baud (8N1), kept as an exact ratio so that deadlines don't drift.
using ByteTimes = std::chrono::duration<long long, std::ratio<10, 19200>>;

constexpr int EXIT_USAGE = 2;
constexpr std::size_t WORDS = 16;
constexpr std::size_t FRAME_BYTES = 4 + 2 * WORDS;
// Room beyond an answer, so that one read shows when more came than was asked for.
constexpr std::size_t READ_BYTES = 64;
constexpr uint8_t SYNC_HIGH = 0x00;
constexpr uint8_t SYNC_LOW = 0x55;
constexpr uint16_t LIVE_VALUES = 8;
constexpr std::array<uint16_t, WORDS> DEFAULT_PARAMETERS = {500, 2048, 512, 20, 1,   100, 1, 8,
                                                            0,   0,    950, 0,  500, 0,   0, 0};
// A byte reaches the reader a little after its stop bit (UART and driver; in the benchmark the
// simulator's thread and the pseudo-terminal's queue): looked at exactly when the answer can be
// complete, it is nearly always a byte short, which costs a second wake and read for each answer.
constexpr std::size_t DELIVERY_ALLOWANCE_BYTES = 1;
// With --delimit: the look before the answer can have begun comes no later than this share of
// the request's line time, and no sooner than two character times after it.
constexpr double FIRST_LOOK_SHARE = 0.9;
constexpr std::size_t QUIET_BYTES = 2;
constexpr auto ANSWER_TIME_OUT = std::chrono::seconds(2);
constexpr auto RETRY_INTERVAL = std::chrono::seconds(1);
// Keep-alive pings need mosquitto_loop_misc well within this; once a second is plenty.
constexpr int KEEP_ALIVE_S = 30;
constexpr auto HOUSEKEEPING_INTERVAL = std::chrono::seconds(1);
constexpr int REFERENCE = 2048;
constexpr int TOLERANCE = 512;
constexpr std::size_t PAYLOAD_BYTES = 256;

const char *const USAGE =
    "usage: kelvaro-floor --broker-port N [--user NAME] --station NAME [--delimit]\n"
    "                     --port PATH [--port PATH]...\n"
    "Polls the live values of each controller at PATH and publishes every answer to the broker on\n"
    "127.0.0.1:N as kelvaro/NAME/PORT/live, until SIGTERM or SIGINT. The password comes from\n"
    "KELVARO_MQTT_PASSWORD. --delimit takes an answer only as kelvaro does: nothing on the line\n"
    "before it can have begun, and the line quiet after it until the next request's first look.\n";

bool delimit = false;

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

struct Port {
    std::string path;
    std::string topic;
    int fd = -1;
    std::array<uint8_t, READ_BYTES> answer{};
    std::size_t got = 0;
    // Nothing came at the last look: wait for readability rather than waking on a timer.
    bool waitingForData = false;
    Clock::time_point readAt{};
    // The request's time-out; for a closed port, when to open it again.
    Clock::time_point resendAt{};
    // With --delimit: the window of the look before the answer, and an answer taken that waits
    // for it to find the line quiet.
    Clock::time_point firstLookFrom{};
    Clock::time_point firstLookAt{};
    bool firstLookDone = true;
    bool held = false;
    bool complained = false;
};

struct Link {
    mosquitto *client = nullptr;
    bool connected = false;
};

std::array<uint8_t, FRAME_BYTES> liveRequest() {
    std::array<uint8_t, FRAME_BYTES> frame{SYNC_HIGH, SYNC_LOW, LIVE_VALUES >> 8,
                                           LIVE_VALUES & 0xFF};
    for (std::size_t i = 0; i < WORDS; ++i) {
        frame[4 + 2 * i] = uint8_t(DEFAULT_PARAMETERS[i] >> 8);
        frame[5 + 2 * i] = uint8_t(DEFAULT_PARAMETERS[i] & 0xFF);
    }
    return frame;
}

const std::array<uint8_t, FRAME_BYTES> LIVE_REQUEST = liveRequest();

// Rounded up: a look a few nanoseconds early would find the last byte missing.
Clock::duration byteTimes(std::size_t bytes) {
    return std::chrono::ceil<Clock::duration>(ByteTimes(bytes));
}

std::string fileName(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool openPort(Port &port) {
    port.fd = open(port.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios line{};
    if (port.fd < 0 || tcgetattr(port.fd, &line) != 0) {
        if (!port.complained)
            std::fprintf(stderr, "kelvaro-floor: %s: %s\n", port.path.c_str(),
                         std::strerror(errno));
        port.complained = true;
        if (port.fd >= 0)
            close(port.fd);
        port.fd = -1;
        return false;
    }
    cfmakeraw(&line);
    cfsetispeed(&line, B19200);
    cfsetospeed(&line, B19200);
    line.c_cflag &= ~CSTOPB;
    line.c_cflag |= CLOCAL | CREAD;
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    tcsetattr(port.fd, TCSANOW, &line);
    port.complained = false;
    return true;
}

void closePort(Port &port, const char *reason, Clock::time_point now) {
    if (!port.complained)
        std::fprintf(stderr, "kelvaro-floor: %s: %s, opening it again\n", port.path.c_str(),
                     reason);
    port.complained = true;
    close(port.fd);
    port.fd = -1;
    port.resendAt = now + RETRY_INTERVAL;
}

// After a write the answer cannot be complete before the request and the answer have passed the
// line, so the port is not looked at before then.
void sendRequest(Port &port) {
    port.got = 0;
    const ssize_t written = write(port.fd, LIVE_REQUEST.data(), LIVE_REQUEST.size());
    const Clock::time_point now = Clock::now();
    if (written < 0 && errno != EAGAIN && errno != EINTR) {
        closePort(port, std::strerror(errno), now);
        return;
    }
    port.readAt = now + byteTimes(2 * FRAME_BYTES + DELIVERY_ALLOWANCE_BYTES);
    port.waitingForData = written != ssize_t(LIVE_REQUEST.size());
    port.resendAt = now + ANSWER_TIME_OUT;
    port.firstLookFrom = now + byteTimes(QUIET_BYTES);
    port.firstLookAt = now + std::chrono::duration_cast<Clock::duration>(ByteTimes(FRAME_BYTES) *
                                                                         FIRST_LOOK_SHARE);
    port.firstLookDone = !delimit;
}

unsigned word(const Port &port, std::size_t index) {
    return unsigned(port.answer[4 + 2 * index]) << 8 | port.answer[5 + 2 * index];
}

// ref_led and tol_led are plain comparisons, a stand-in for the panel's LEDs, which have
// hysteresis.
void publishLive(Link &link, const Port &port) {
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    tm utc{};
    gmtime_r(&wall.tv_sec, &utc);
    const unsigned norm = word(port, 0);
    const int offReference = int(norm) - REFERENCE;
    char payload[PAYLOAD_BYTES];
    const int length = std::snprintf(
        payload, sizeof payload,
        "{\"time\":\"%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ\",\"norm\":%u,\"a\":%u,\"b\":%u,"
        "\"amax\":%u,\"bmax\":%u,\"up\":%u,\"lo\":%u,\"tol\":%u,\"btn\":%u,\"ref_led\":%d,"
        "\"tol_led\":%d}",
        utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
        wall.tv_nsec / 1000000, norm, word(port, 1), word(port, 2), word(port, 3), word(port, 4),
        word(port, 5), word(port, 6), word(port, 7), word(port, 8), offReference >= 0 ? 1 : 0,
        std::abs(offReference) <= TOLERANCE ? 1 : 0);
    mosquitto_publish(link.client, nullptr, port.topic.c_str(), length, payload, 0, false);
}

// Bytes of an answer to someone else (a program that had the line before) or of an answer
// given up on may still be coming: a request now would queue behind them and every answer would
// stay out of step. Nothing is read or sent until they have passed; the request goes out once
// they are dropped.
void askOnceQuiet(Port &port, Clock::time_point now) {
    port.waitingForData = false;
    port.resendAt = now + byteTimes(2 * FRAME_BYTES);
    port.readAt = port.resendAt;
}

// One read of what has come; a partial answer is looked at again when its rest can be in.
void readAnswer(Link &link, Port &port) {
    const ssize_t count = read(port.fd, port.answer.data() + port.got, READ_BYTES - port.got);
    const Clock::time_point now = Clock::now();
    if (count == 0) {
        closePort(port, "hung up", now);
        return;
    }
    if (count < 0 && errno != EAGAIN && errno != EINTR) {
        closePort(port, std::strerror(errno), now);
        return;
    }
    if (count < 0) {
        port.waitingForData = true;
        return;
    }
    port.got += std::size_t(count);
    if (port.got < FRAME_BYTES) {
        port.waitingForData = false;
        port.readAt = now + byteTimes(FRAME_BYTES - port.got);
        return;
    }
    const bool answered = (port.answer[2] << 8 | port.answer[3]) == LIVE_VALUES;
    if (delimit)
        port.held = answered && port.got == FRAME_BYTES;
    else if (answered && link.connected)
        publishLive(link, port);
    // More than an answer means more is on its way than was asked for.
    if (answered && port.got == FRAME_BYTES)
        sendRequest(port);
    else
        askOnceQuiet(port, now);
}

// With --delimit, at any wake in the window before the answer can have begun: bytes there are
// stray, and the answer before goes out only when there are none.
void firstLook(Link &link, Port &port) {
    port.firstLookDone = true;
    int waiting = 0;
    ioctl(port.fd, FIONREAD, &waiting);
    if (port.held && waiting == 0 && link.connected)
        publishLive(link, port);
    port.held = false;
}

void serviceTimers(Link &link, Port &port, Clock::time_point now) {
    if (port.fd < 0) {
        if (now >= port.resendAt) {
            if (openPort(port))
                askOnceQuiet(port, now);
            else
                port.resendAt = now + RETRY_INTERVAL;
        }
        return;
    }
    if (!port.firstLookDone && now >= port.firstLookFrom)
        firstLook(link, port);
    if (now >= port.resendAt) {
        tcflush(port.fd, TCIFLUSH);
        sendRequest(port);
    } else if (!port.waitingForData && now >= port.readAt) {
        readAnswer(link, port);
    }
}

Clock::time_point nextDeadline(const Port &port) {
    if (port.fd < 0)
        return port.resendAt;
    const Clock::time_point look = port.firstLookDone ? port.resendAt : port.firstLookAt;
    return std::min({port.waitingForData ? port.resendAt : port.readAt, port.resendAt, look});
}

void connected(mosquitto *, void *data, int code) {
    auto &link = *static_cast<Link *>(data);
    link.connected = code == 0;
    if (code != 0)
        std::fprintf(stderr, "kelvaro-floor: the broker refused: %s\n",
                     mosquitto_reason_string(code));
}

void disconnected(mosquitto *, void *data, int) {
    static_cast<Link *>(data)->connected = false;
}

// Called once every housekeeping interval, which paces the attempts after a lost connection.
void serviceBroker(Link &link) {
    mosquitto_loop_misc(link.client);
    if (mosquitto_socket(link.client) < 0)
        mosquitto_reconnect(link.client);
}

timespec timeoutUntil(Clock::time_point deadline) {
    const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    return {time_t(seconds.count()),
            long(std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count())};
}

// Stop signals are blocked but inside ppoll, so that one arriving between the check of
// stopRequested and the wait still ends the wait.
int run(Link &link, std::vector<Port> &ports, const sigset_t &waitMask) {
    std::vector<pollfd> fds(1 + ports.size());
    Clock::time_point housekeepingAt = Clock::now();
    while (!stopRequested) {
        const Clock::time_point now = Clock::now();
        if (now >= housekeepingAt) {
            serviceBroker(link);
            housekeepingAt = now + HOUSEKEEPING_INTERVAL;
        }
        Clock::time_point wake = housekeepingAt;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            Port &port = ports[i];
            serviceTimers(link, port, now);
            fds[1 + i] = {port.fd >= 0 && port.waitingForData ? port.fd : -1, POLLIN, 0};
            wake = std::min(wake, nextDeadline(port));
        }
        fds[0] = {mosquitto_socket(link.client),
                  short(POLLIN | (mosquitto_want_write(link.client) ? POLLOUT : 0)), 0};
        const timespec timeout = timeoutUntil(wake);
        if (ppoll(fds.data(), fds.size(), &timeout, &waitMask) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("kelvaro-floor: poll");
            return EXIT_FAILURE;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
            mosquitto_loop_read(link.client, 1);
        if (fds[0].revents & POLLOUT)
            mosquitto_loop_write(link.client, 1);
        for (std::size_t i = 0; i < ports.size(); ++i)
            if (fds[1 + i].revents != 0)
                readAnswer(link, ports[i]);
    }
    return EXIT_SUCCESS;
}

int usageError(const std::string &message) {
    std::fprintf(stderr, "kelvaro-floor: %s\n%s", message.c_str(), USAGE);
    return EXIT_USAGE;
}

} // namespace

int main(int argc, char **argv) {
    int brokerPort = 0;
    const char *user = nullptr;
    std::string station;
    std::vector<Port> ports;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            std::fputs(USAGE, stdout);
            return EXIT_SUCCESS;
        }
        if (option == "--delimit") {
            delimit = true;
            continue;
        }
        const bool known = option == "--broker-port" || option == "--user" ||
                           option == "--station" || option == "--port";
        if (!known)
            return usageError("unknown option " + option);
        if (i + 1 >= argc)
            return usageError(option + " needs a value");
        const char *value = argv[++i];
        if (option == "--broker-port") {
            char *end = nullptr;
            const long number = std::strtol(value, &end, 10);
            if (*end != '\0' || number < 1 || number > 65535)
                return usageError("--broker-port takes 1 to 65535");
            brokerPort = int(number);
        } else if (option == "--user") {
            user = value;
        } else if (option == "--station") {
            station = value;
        } else {
            ports.push_back({});
            ports.back().path = value;
        }
    }
    if (brokerPort == 0 || station.empty() || ports.empty())
        return usageError("--broker-port, --station and --port are needed");
    for (Port &port : ports)
        port.topic = "kelvaro/" + station + "/" + fileName(port.path) + "/live";

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    struct sigaction stop {};
    stop.sa_handler = requestStop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    mosquitto_lib_init();
    Link link;
    const std::string clientId = "kelvaro-floor-" + station;
    link.client = mosquitto_new(clientId.c_str(), true, &link);
    if (!link.client) {
        std::fprintf(stderr, "kelvaro-floor: %s\n", std::strerror(errno));
        return EXIT_FAILURE;
    }
    mosquitto_int_option(link.client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_callback_set(link.client, connected);
    mosquitto_disconnect_callback_set(link.client, disconnected);
    if (user)
        mosquitto_username_pw_set(link.client, user, std::getenv("KELVARO_MQTT_PASSWORD"));
    const int connection = mosquitto_connect(link.client, "127.0.0.1", brokerPort, KEEP_ALIVE_S);
    if (connection != MOSQ_ERR_SUCCESS)
        std::fprintf(stderr, "kelvaro-floor: broker on port %d: %s, trying again\n", brokerPort,
                     mosquitto_strerror(connection));

    const int code = run(link, ports, waitMask);

    for (Port &port : ports)
        if (port.fd >= 0)
            close(port.fd);
    mosquitto_disconnect(link.client);
    mosquitto_destroy(link.client);
    mosquitto_lib_cleanup();
    return code;
}
