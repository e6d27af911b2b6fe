// Network lines over TCP: a bounded connect with the cause of every failure in the operator's
// words, RFC 2217's negotiation before the port counts as open, and keep-alive so that a
// connection that dies silently is noticed in bounded time.
#include "network_line.h"

#include "serial.h"

#include "endpoint.h"
#include "utility.h"

#include <algorithm>
#include <cerrno>
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
    if (error == ECANCELED)
        return "the connection to " + endpoint.address + " was abandoned";
    if (error == ETIMEDOUT)
        return endpoint.address + " did not answer within " +
               std::to_string(int(NETWORK_CONNECT_TIMEOUT_S)) + " s";
    return endpoint.address + ": " +
           ConnectionErrorText(error, endpoint, "the serial device server");
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
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            WaitForDescriptor(fd, POLLOUT, deadline))
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
int connectTo(const Endpoint &endpoint, const LineOpenWait &wait, std::string *cause) {
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
    for (addrinfo *address = addresses; address && fd < 0 && error != ECANCELED;
         address = address->ai_next) {
        fd = ::socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS && wait(fd, POLLOUT, deadline)) {
                socklen_t length = sizeof error;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            } else if (error == EINPROGRESS) {
                error = errno == ECANCELED ? ECANCELED : ETIMEDOUT;
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

// What the two network lines share: the connection, what came before the line was in use, the
// tail of what came for a server's parting words, and the bounded opening.
class NetworkLine : public Line {
  public:
    NetworkLine(int fd, std::string address) : fd_(fd), address_(std::move(address)) {}
    ~NetworkLine() override { ::close(fd_); }

    // Whatever the line needs before it is in use (the server's confirmation, the first moment's
    // bytes), waiting through wait. Returns true, or false with cause.
    virtual bool establish(const LineOpenWait &wait, std::string *cause) = 0;

    int descriptor() const override { return fd_; }

    LineRead read(char *data, size_t room) override {
        LineRead result;
        if (!early_.empty()) {
            result.stored = std::min(room, early_.size());
            std::copy_n(early_.data(), result.stored, data);
            early_.erase(0, result.stored);
            result.state = LineRead::MORE;
            return result;
        }
        for (;;) {
            const ssize_t n = receive(data, room, &result.stored);
            if (n > 0) {
                keepTail(data, result.stored);
                result.state = LineRead::MORE;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                result.state = LineRead::DRAINED;
            } else {
                result.state = LineRead::LOST;
                result.lostCause = n == 0 ? ending() : std::strerror(errno);
            }
            return result;
        }
    }

    size_t write(const char *bytes, size_t count, double deadline, LineFailure *failure) override {
        errno = 0;
        const size_t written = send(bytes, count, deadline);
        if (written < count && errno != 0 && errno != EAGAIN && errno != EWOULDBLOCK &&
            errno != EINTR)
            *failure = WriteFailure(errno);
        return written;
    }

    // A connection's own buffer is the program's to empty (what is thrown away raises no event);
    // the server purges its side when it can.
    LineFailure discardReceived() override {
        early_.clear();
        char scrap[READ_CHUNK];
        LineRead read;
        do
            read = this->read(scrap, sizeof scrap);
        while (read.state == LineRead::MORE);
        LineFailure result;
        if (read.state == LineRead::LOST) {
            result.kind = LineFailure::LOST;
            result.cause = read.lostCause;
            return result;
        }
        purge(PURGE_RECEIVED);
        return result;
    }

    LineFailure discardUnsent() override {
        purge(PURGE_UNSENT);
        return {};
    }

    int takeLineErrors() override { return 0; }

    // An RFC 2217 line was set to no flow control when it opened; a raw one is the server's.
    LineFailure setCtsFlowControl(bool on) override {
        LineFailure result;
        if (on) {
            result.kind = LineFailure::FAILED;
            result.cause = "hardware flow control is not asked for over the network";
        }
        return result;
    }

  protected:
    // RFC 2217's PURGE-DATA values.
    enum Purge { PURGE_RECEIVED = 1, PURGE_UNSENT = 2 };

    // Takes what the connection has, at most room bytes of data into data (*stored of them).
    // Returns the bytes taken from the connection (> 0), 0 when the server closed it, or -1 with
    // errno.
    virtual ssize_t receive(char *data, size_t room, size_t *stored) = 0;
    // Sends count bytes of data by deadline. Returns the bytes of data that went out; fewer with
    // errno set when the connection failed or the deadline passed.
    virtual size_t send(const char *bytes, size_t count, double deadline) = 0;
    // Asks the server to discard one of its buffers; a raw line has none to ask.
    virtual void purge(Purge) {}

    enum class EarlyRead { Took, Quiet, Closed, Failed };

    // Waits until deadline for what the connection brings before the line is in use and keeps it
    // as the line's first data. Returns Quiet when nothing came, Closed or Failed with cause when
    // the connection ended.
    EarlyRead takeEarly(const LineOpenWait &wait, double deadline, std::string *cause) {
        if (!wait(fd_, POLLIN, deadline)) {
            if (errno != ECANCELED)
                return EarlyRead::Quiet;
            *cause = "the connection to " + address_ + " was abandoned";
            return EarlyRead::Failed;
        }
        char buffer[READ_CHUNK];
        size_t stored = 0;
        const ssize_t n = receive(buffer, sizeof buffer, &stored);
        if (n == 0) {
            *cause = ending();
            return EarlyRead::Closed;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            *cause = address_ + ": " + std::strerror(errno);
            return EarlyRead::Failed;
        }
        keepTail(buffer, stored);
        // No more than the largest input queue is kept, however much a server sends.
        early_.append(buffer, std::min(stored, MAX_INPUT_QUEUE_BYTES -
                                                   std::min(early_.size(), MAX_INPUT_QUEUE_BYTES)));
        return EarlyRead::Took;
    }

    const int fd_;
    const std::string address_; // HOST:PORT, for the operator's messages

  private:
    void keepTail(const char *data, size_t count) {
        lastText_.append(data, count);
        if (lastText_.size() > PARTING_TEXT_BYTES)
            lastText_.erase(0, lastText_.size() - PARTING_TEXT_BYTES);
    }

    // Why the server ended the connection, in words: its parting text when it sent one.
    std::string ending() const {
        std::string said;
        for (char c : lastText_)
            if (c == '\r' || c == '\n')
                said += ' ';
            else if (c >= 0x20 && c < 0x7F)
                said += c;
            else
                said.clear(); // binary data: the line's, not the server's words
        const size_t first = said.find_first_not_of(' ');
        said = first == std::string::npos
                   ? ""
                   : said.substr(first, said.find_last_not_of(' ') - first + 1);
        return "the server at " + address_ + " closed the connection" +
               (said.size() >= 3 ? ", saying \"" + said + "\"" : "");
    }

    std::string early_;    // what came before the line was in use, read first
    std::string lastText_; // the tail of what came, for a server's parting words
};

// A line through a server that speaks RFC 2217: the program sets the line and purges the server's
// buffers; data is escaped on the way out and the Telnet talk taken away on the way in.
class Rfc2217Line : public NetworkLine {
  public:
    Rfc2217Line(int fd, const Endpoint &endpoint, const ComPortSettings &settings)
        : NetworkLine(fd, endpoint.address), telnet_(settings, endpoint.address) {}

    // Has the server confirm the line.
    bool establish(const LineOpenWait &wait, std::string *cause) override {
        const std::string opening = telnet_.begin();
        const double deadline = Timer() + NETWORK_NEGOTIATION_TIMEOUT_S;
        if (telnet_.negotiation() != TelnetComPort::Negotiation::Refused &&
            !sendAll(fd_, opening, deadline)) {
            *cause = address_ + ": " + std::strerror(errno);
            return false;
        }
        while (telnet_.negotiation() == TelnetComPort::Negotiation::Pending) {
            const EarlyRead read = takeEarly(wait, deadline, cause);
            if (read == EarlyRead::Quiet) {
                *cause = "the server at " + address_ + " did not confirm RFC 2217 within " +
                         std::to_string(int(NETWORK_NEGOTIATION_TIMEOUT_S)) + " s (" +
                         telnet_.unconfirmed() + " unconfirmed): if it is a raw TCP port, use " +
                         "tcp://" + address_;
                return false;
            }
            if (read != EarlyRead::Took) {
                if (read == EarlyRead::Closed)
                    *cause += " before the line was set";
                return false;
            }
        }
        if (telnet_.negotiation() == TelnetComPort::Negotiation::Refused) {
            *cause = telnet_.refusal();
            return false;
        }
        return true;
    }

    // The service's line errors are RFC 2217's line-state bits: they pass unchanged.
    int takeLineErrors() override { return telnet_.takeLineErrors(); }

  protected:
    ssize_t receive(char *data, size_t room, size_t *stored) override {
        *stored = 0;
        // Telnet takes bytes away, never adds: room bytes from the connection fit room of data.
        char raw[READ_CHUNK];
        const ssize_t n = ::recv(fd_, raw, std::min(room, sizeof raw), 0);
        if (n <= 0)
            return n;
        taken_.clear();
        reply_.clear();
        telnet_.receive(raw, size_t(n), &taken_, &reply_);
        if (!reply_.empty())
            sendAll(fd_, reply_, Timer() + REPLY_TIMEOUT_S);
        std::copy(taken_.begin(), taken_.end(), data);
        *stored = taken_.size();
        return n;
    }

    // A purge asked for goes out with the next data, in one message.
    size_t send(const char *bytes, size_t count, double deadline) override {
        std::string escaped = TelnetComPort::purge(purgeDue_);
        purgeDue_ = 0;
        const size_t purge = escaped.size();
        TelnetComPort::escape(bytes, count, &escaped);
        size_t sent = 0;
        if (sendAll(fd_, escaped.data(), escaped.size(), deadline, &sent))
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

    void purge(Purge which) override { purgeDue_ |= which; }

  private:
    TelnetComPort telnet_;
    int purgeDue_ = 0;          // PURGE-DATA bits to send before the next data
    std::string taken_, reply_; // a read's data and Telnet answer, kept to reuse their memory
};

static_assert(int(COM_LINE_BREAK) == TelnetComPort::BREAK &&
              int(COM_LINE_FRAMING) == TelnetComPort::FRAMING &&
              int(COM_LINE_PARITY) == TelnetComPort::PARITY &&
              int(COM_LINE_OVERRUN) == TelnetComPort::OVERRUN);

// A line whose bytes pass as they are: the server's settings are the line's.
class RawTcpLine : public NetworkLine {
  public:
    RawTcpLine(int fd, const Endpoint &endpoint) : NetworkLine(fd, endpoint.address) {}

    // A raw server may pass on what its device said before anyone listened (the answer to the
    // last client's last request) just after the connection opens; nothing can ask it to purge.
    // It is taken here, with the rest of what comes in the first moment, for the opening flush to
    // discard. A server that turns the connection down (its line is in use) closes it in that
    // moment too.
    bool establish(const LineOpenWait &wait, std::string *cause) override {
        const double deadline = Timer() + RAW_SETTLE_S;
        EarlyRead read = EarlyRead::Took;
        while (read == EarlyRead::Took)
            read = takeEarly(wait, deadline, cause);
        return read == EarlyRead::Quiet;
    }

  protected:
    ssize_t receive(char *data, size_t room, size_t *stored) override {
        const ssize_t n = ::recv(fd_, data, room, 0);
        *stored = n > 0 ? size_t(n) : 0;
        return n;
    }

    size_t send(const char *bytes, size_t count, double deadline) override {
        size_t sent = 0;
        sendAll(fd_, bytes, count, deadline, &sent);
        return sent;
    }
};

} // namespace

bool IsNetworkLineName(const std::string &name) {
    return startsWith(name, RFC2217_SCHEME) || startsWith(name, TCP_SCHEME);
}

std::unique_ptr<Line> OpenNetworkLine(const std::string &name, const ComPortSettings &settings,
                                      const LineOpenWait &wait, std::string *cause) {
    Endpoint endpoint;
    *cause = readName(name, &endpoint);
    if (!cause->empty())
        return nullptr;
    const int fd = connectTo(endpoint, wait, cause);
    if (fd < 0)
        return nullptr;
    std::unique_ptr<NetworkLine> line;
    if (startsWith(name, RFC2217_SCHEME))
        line = std::make_unique<Rfc2217Line>(fd, endpoint, settings);
    else
        line = std::make_unique<RawTcpLine>(fd, endpoint);
    if (!line->establish(wait, cause))
        return nullptr;
    return line;
}
