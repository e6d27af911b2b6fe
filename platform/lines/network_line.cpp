// Network lines over TCP: a bounded connect with the cause of every failure in the operator's
// words, RFC 2217's negotiation before the port counts as open, and keep-alive so that a
// connection that dies silently is noticed in bounded time.
#include "network_line.h"

#include "endpoint.h"
#include "utility.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char RFC2217_SCHEME[] = "rfc2217://";
const char TCP_SCHEME[] = "tcp://";
const int KEEPALIVE_IDLE_S = 2;
const int KEEPALIVE_INTERVAL_S = 1;
const int KEEPALIVE_PROBES = 3;
const double REPLY_TIMEOUT_S = 1.0;
const size_t PARTING_TEXT_BYTES = 80;
const size_t READ_CHUNK = 4096;
const double RAW_SETTLE_S = 0.1;

bool startsWith(const std::string &text, const char *prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// "" when name is a network line's address, else why not.
std::string readName(const std::string &name, Endpoint *endpoint) {
    if (ReadEndpoint(name, RFC2217_SCHEME, 0, endpoint) ||
        ReadEndpoint(name, TCP_SCHEME, 0, endpoint))
        return "";
    return "\"" + name + "\" is not a network line: write rfc2217://HOST:PORT or " +
           "tcp://HOST:PORT (an IPv6 address in brackets)";
}

// The connect's own deadline and the kernel's give-up are one to the operator.
std::string connectCause(const Endpoint &endpoint, int error) {
    if (error == ETIMEDOUT)
        return endpoint.address + " did not answer within " +
               std::to_string(int(NETWORK_CONNECT_TIMEOUT_S)) + " s";
    return endpoint.address + ": " +
           ConnectionErrorText(error, endpoint, "the serial device server");
}

// Waits for what on fd until deadline. Returns true when it came; false with errno EAGAIN when
// the deadline passed (not ETIMEDOUT, which is the connection's own death).
bool waitFor(int fd, short what, double deadline) {
    for (;;) {
        const double left = deadline - Timer();
        if (left <= 0) {
            errno = EAGAIN;
            return false;
        }
        pollfd pfd{fd, what, 0};
        const int ready = ::poll(&pfd, 1, int(std::ceil(left * 1000.0)));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

bool sendAll(int fd, const char *bytes, size_t count, double deadline, size_t *sent) {
    *sent = 0;
    while (*sent < count) {
        const ssize_t n = ::send(fd, bytes + *sent, count - *sent, MSG_NOSIGNAL);
        if (n > 0) {
            *sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(fd, POLLOUT, deadline))
            continue;
        return false;
    }
    return true;
}

bool sendAll(int fd, const std::string &bytes, double deadline) {
    size_t sent = 0;
    return sendAll(fd, bytes.data(), bytes.size(), deadline, &sent);
}

void setOption(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

// Requests go out at once, and a peer that vanishes without a word is noticed.
void tuneSocket(int fd) {
    setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    setOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    setOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, KEEPALIVE_IDLE_S);
    setOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, KEEPALIVE_INTERVAL_S);
    setOption(fd, IPPROTO_TCP, TCP_KEEPCNT, KEEPALIVE_PROBES);
    setOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, NETWORK_SILENCE_LIMIT_S * 1000);
}

// Tries every address of the endpoint in turn. Returns the connected socket, or -1 with cause.
int connectTo(const Endpoint &endpoint, std::string *cause) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *addresses = nullptr;
    const int looked = ::getaddrinfo(endpoint.host.c_str(), std::to_string(endpoint.port).c_str(),
                                     &hints, &addresses);
    if (looked != 0) {
        *cause =
            looked == EAI_SYSTEM
                ? "the host " + endpoint.host + " could not be looked up: " + std::strerror(errno)
                : "the host " + endpoint.host + " is unknown (" + gai_strerror(looked) + ")";
        return -1;
    }
    const double deadline = Timer() + NETWORK_CONNECT_TIMEOUT_S;
    int error = ETIMEDOUT;
    int fd = -1;
    for (addrinfo *address = addresses; address && fd < 0; address = address->ai_next) {
        fd = ::socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS && waitFor(fd, POLLOUT, deadline)) {
                socklen_t length = sizeof error;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            } else if (error == EINPROGRESS) {
                error = ETIMEDOUT;
            }
            if (error != 0 && error != EINPROGRESS) {
                ::close(fd);
                fd = -1;
            }
        }
    }
    ::freeaddrinfo(addresses);
    if (fd < 0)
        *cause = connectCause(endpoint, error);
    else
        tuneSocket(fd);
    return fd;
}

void keepTail(NetworkLine &line, const char *data, size_t count) {
    line.lastText.append(data, count);
    if (line.lastText.size() > PARTING_TEXT_BYTES)
        line.lastText.erase(0, line.lastText.size() - PARTING_TEXT_BYTES);
}

enum class EarlyRead { Took, Quiet, Closed, Failed };

// Waits until deadline for what the connection brings before the line is in use and adds it to
// early. Returns Quiet when nothing came, Closed or Failed with cause when the connection ended.
EarlyRead takeEarly(NetworkLine &line, double deadline, std::string *cause, std::string *early) {
    if (!waitFor(line.fd, POLLIN, deadline))
        return EarlyRead::Quiet;
    char buffer[READ_CHUNK];
    size_t stored = 0;
    const ssize_t n = ReadNetworkLine(line, buffer, sizeof buffer, &stored);
    if (n == 0) {
        *cause = NetworkLineEnding(line);
        return EarlyRead::Closed;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        *cause = line.address + ": " + std::strerror(errno);
        return EarlyRead::Failed;
    }
    // What comes before the line is in use goes to the opening flush: no more than the largest
    // input queue is kept, however much a server sends.
    early->append(buffer, std::min(stored, MAX_INPUT_QUEUE_BYTES -
                                               std::min(early->size(), MAX_INPUT_QUEUE_BYTES)));
    return EarlyRead::Took;
}

// Has the server confirm the line. Returns true when it did, false with cause.
bool negotiate(NetworkLine &line, std::string *cause, std::string *early) {
    const std::string opening = line.telnet->begin();
    const double deadline = Timer() + NETWORK_NEGOTIATION_TIMEOUT_S;
    if (line.telnet->negotiation() != TelnetComPort::Negotiation::Refused &&
        !sendAll(line.fd, opening, deadline)) {
        *cause = line.address + ": " + std::strerror(errno);
        return false;
    }
    while (line.telnet->negotiation() == TelnetComPort::Negotiation::Pending) {
        const EarlyRead read = takeEarly(line, deadline, cause, early);
        if (read == EarlyRead::Quiet) {
            *cause = "the server at " + line.address + " did not confirm RFC 2217 within " +
                     std::to_string(int(NETWORK_NEGOTIATION_TIMEOUT_S)) + " s (" +
                     line.telnet->unconfirmed() + " unconfirmed): if it is a raw TCP port, use " +
                     "tcp://" + line.address;
            return false;
        }
        if (read != EarlyRead::Took) {
            if (read == EarlyRead::Closed)
                *cause += " before the line was set";
            return false;
        }
    }
    if (line.telnet->negotiation() == TelnetComPort::Negotiation::Refused) {
        *cause = line.telnet->refusal();
        return false;
    }
    return true;
}

// A raw server may pass on what its device said before anyone listened (the answer to the last
// client's last request) just after the connection opens; nothing can ask it to purge. It is
// taken here, with the rest of what comes in the first moment, for the opening flush to discard.
// A server that turns the connection down (its line is in use) closes it in that moment too.
// Returns false with cause when it did.
bool settle(NetworkLine &line, std::string *cause, std::string *early) {
    const double deadline = Timer() + RAW_SETTLE_S;
    EarlyRead read = EarlyRead::Took;
    while (read == EarlyRead::Took)
        read = takeEarly(line, deadline, cause, early);
    return read == EarlyRead::Quiet;
}

} // namespace

bool IsNetworkLineName(const std::string &name) {
    return startsWith(name, RFC2217_SCHEME) || startsWith(name, TCP_SCHEME);
}

bool OpenNetworkLine(const std::string &name, const ComPortSettings &settings, NetworkLine *line,
                     std::string *cause, std::string *early) {
    Endpoint endpoint;
    *cause = readName(name, &endpoint);
    if (!cause->empty())
        return false;
    line->address = endpoint.address;
    line->lastText.clear();
    line->fd = connectTo(endpoint, cause);
    if (line->fd < 0)
        return false;
    line->telnet = startsWith(name, RFC2217_SCHEME)
                       ? std::make_unique<TelnetComPort>(settings, endpoint.address)
                       : nullptr;
    if (line->telnet ? !negotiate(*line, cause, early) : !settle(*line, cause, early)) {
        CloseNetworkLine(*line);
        return false;
    }
    return true;
}

ssize_t ReadNetworkLine(NetworkLine &line, char *data, size_t room, size_t *stored) {
    *stored = 0;
    if (!line.telnet) {
        const ssize_t n = ::recv(line.fd, data, room, 0);
        if (n > 0) {
            *stored = size_t(n);
            keepTail(line, data, *stored);
        }
        return n;
    }
    // Telnet takes bytes away, never adds: room bytes from the connection fit room of data.
    char raw[READ_CHUNK];
    const ssize_t n = ::recv(line.fd, raw, std::min(room, sizeof raw), 0);
    if (n <= 0)
        return n;
    line.taken.clear();
    line.reply.clear();
    line.telnet->receive(raw, size_t(n), &line.taken, &line.reply);
    if (!line.reply.empty())
        sendAll(line.fd, line.reply, Timer() + REPLY_TIMEOUT_S);
    std::copy(line.taken.begin(), line.taken.end(), data);
    *stored = line.taken.size();
    keepTail(line, data, *stored);
    return n;
}

size_t WriteNetworkLine(NetworkLine &line, const char *bytes, size_t count, double deadline) {
    if (!line.telnet) {
        size_t sent = 0;
        sendAll(line.fd, bytes, count, deadline, &sent);
        return sent;
    }
    std::string escaped = TelnetComPort::purge(line.purgeDue);
    line.purgeDue = 0;
    const size_t purge = escaped.size();
    TelnetComPort::escape(bytes, count, &escaped);
    size_t sent = 0;
    if (sendAll(line.fd, escaped.data(), escaped.size(), deadline, &sent))
        return count;
    // The data bytes whose whole escaped form went out.
    size_t done = 0;
    for (size_t used = purge; done < count; ++done) {
        used += static_cast<unsigned char>(bytes[done]) == 0xFF ? 2 : 1;
        if (used > sent)
            break;
    }
    return done;
}

void PurgeNetworkLine(NetworkLine &line, int which) {
    if (line.telnet)
        line.purgeDue |= which;
}

int TakeNetworkLineErrors(NetworkLine &line) {
    return line.telnet ? line.telnet->takeLineErrors() : 0;
}

std::string NetworkLineEnding(const NetworkLine &line) {
    std::string said;
    for (char c : line.lastText)
        if (c == '\r' || c == '\n')
            said += ' ';
        else if (c >= 0x20 && c < 0x7F)
            said += c;
        else
            said.clear(); // binary data: the line's, not the server's words
    const size_t first = said.find_first_not_of(' ');
    said = first == std::string::npos ? ""
                                      : said.substr(first, said.find_last_not_of(' ') - first + 1);
    return "the server at " + line.address + " closed the connection" +
           (said.size() >= 3 ? ", saying \"" + said + "\"" : "");
}

void CloseNetworkLine(NetworkLine &line) {
    if (line.fd >= 0)
        ::close(line.fd);
    line.fd = -1;
    line.telnet.reset();
}
