// MQTT client service on libmosquitto: the client's socket and timers live on the Qt event loop,
// which drives the library's reads, writes and keep-alive; no thread. A wait that polls by itself
// watches the sockets as their notifiers do.
#include "mqtt.h"

#include "endpoint.h"
#include "internal.h"
#include "utility.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const int FIRST_RETRY_MS = 1000;
const int LAST_RETRY_MS = 30000;
// A connection that held this long starts the back-off afresh when it ends; one that ended sooner
// (another client taking its session, a broker that drops it) goes on backing off.
const double STEADY_CONNECTION_S = 30.0;
// A ping is due a keep-alive after the last packet and the broker gives up at one and a half:
// looking four times a keep-alive sends it in time while an idle client sleeps the rest.
const int KEEPALIVE_CHECKS_PER_PERIOD = 4;
const int MIN_KEEPALIVE_S = 5;
const int MAX_KEEPALIVE_S = 65535;
const int MAX_PORT = 65535;
const int INVALID_PORT = -1;
const int MAX_CORRELATION_BYTES = 65535;
const double MAX_TIMEOUT_S = 3600.0;
const int RESPONSE_QOS = 1;
// The MQTT 5 user property that names who sent a message.
const char USER_PROPERTY[] = "user";
// The library's error lines of one connection attempt kept for its cause; more say nothing new.
const size_t MAX_LOGGED_ERRORS = 8;

enum class Phase { Connecting, Connected, Waiting };

// What the user's callbacks are told, kept until the library call that learnt it has returned.
struct Event {
    enum Kind { Connected, Lost, Refused, Message } kind = Message;
    std::string cause;
    std::string topic;
    std::string payload;
    std::string responseTopic;
    std::string correlation;
    std::string user;
    bool hasResponseTopic = false;
    bool hasCorrelation = false;
    bool hasUser = false;
};

Event notice(Event::Kind kind, const std::string &cause) {
    Event event;
    event.kind = kind;
    event.cause = cause;
    return event;
}

// A message the broker has not taken yet; the topic names a QoS 1 message it may refuse.
struct Pending {
    int qos = 0;
    std::string topic;
};

struct Client {
    int handle = 0;
    mosquitto *mosq = nullptr;
    Endpoint endpoint; // its address is "host:port", as the causes name the broker
    bool tls = false;
    int keepAlive = 0;        // asked for
    int grantedKeepAlive = 0; // the broker may shorten it
    double timeoutS = 0;
    std::string clientId;
    double connectedAt = 0;

    Phase phase = Phase::Waiting;
    bool opening = true; // inside MqttOpen: a failure ends the open instead of a retry
    bool closing = false;
    bool tcpPending = false;
    int retryMs = FIRST_RETRY_MS;
    std::string cause;
    bool refused = false;

    // What the library's callbacks reported during one call.
    int connackReason = -1;
    int disconnectReason = -1;
    int disconnectErrno = 0;
    std::vector<std::string> loggedErrors; // since the attempt began
    std::deque<Event> events;
    bool delivering = false;

    std::map<int, Pending> pending; // by message id
    int completedDuringPublish = 0;
    struct Subscription {
        std::string pattern;
        int qos;
        bool fromOthersOnly;
    };
    std::vector<Subscription> subscriptions;
    std::map<int, std::string> unansweredSubscriptions; // pattern by message id

    MqttMessageCallback onMessage = nullptr;
    MqttConnectionCallback onConnection = nullptr;
    void *callbackData = nullptr;

    QObject *holder = nullptr; // parent of the notifiers and timers
    QSocketNotifier *reader = nullptr;
    QSocketNotifier *writer = nullptr;
    QTimer *keepAliveTimer = nullptr;
    QTimer *retryTimer = nullptr;
    QTimer *deadlineTimer = nullptr;
    QEventLoop *openLoop = nullptr;
};

std::map<int, std::unique_ptr<Client>> clients;
int nextHandle = 1;
std::string lastError;

Client *findClient(int handle) {
    const auto found = clients.find(handle);
    return found == clients.end() ? nullptr : found->second.get();
}

int fail(int code, const std::string &why) {
    lastError = why;
    return code;
}

std::string brokerLabel(const std::string &host, int port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

std::string systemCause(const Client &c, int error) {
    return ConnectionErrorText(error, c.endpoint, "the broker");
}

std::string reasonCause(int reason) {
    switch (reason) {
    case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
        return "bad user name or password";
    case MQTT_RC_NOT_AUTHORIZED:
        return "not authorised";
    case MQTT_RC_CLIENTID_NOT_VALID:
        return "client identifier not valid";
    case MQTT_RC_SERVER_UNAVAILABLE:
        return "server unavailable";
    case MQTT_RC_SERVER_BUSY:
        return "server busy";
    case MQTT_RC_BANNED:
        return "banned";
    case MQTT_RC_SERVER_SHUTTING_DOWN:
        return "server shutting down";
    case MQTT_RC_KEEP_ALIVE_TIMEOUT:
        return "keep-alive timeout";
    case MQTT_RC_SESSION_TAKEN_OVER:
        return "session taken over (another client connected with the same client identifier)";
    case MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION:
        return "MQTT 5 not supported by the broker";
    default: {
        std::string text = mosquitto_reason_string(reason);
        if (!text.empty())
            text[0] = char(std::tolower(static_cast<unsigned char>(text[0])));
        return text + " (reason code " + std::to_string(reason) + ")";
    }
    }
}

// The reasons in the library's error lines: OpenSSL's "error:0A000086:SSL routines::certificate
// verify failed" gives its last field, the library's own "Error: ..." lines their text.
std::string loggedCause(const Client &c) {
    std::vector<std::string> reasons;
    for (const std::string &line : c.loggedErrors) {
        std::string reason;
        if (line.find("error:") != std::string::npos) {
            reason = line.substr(line.rfind(':') + 1);
        } else {
            reason = line.rfind("Error: ", 0) == 0 ? line.substr(7) : line;
            while (!reason.empty() && (reason.back() == '.' || reason.back() == '\n'))
                reason.pop_back();
        }
        if (!reason.empty() && std::find(reasons.begin(), reasons.end(), reason) == reasons.end())
            reasons.push_back(reason);
    }
    std::string text;
    for (const std::string &reason : reasons)
        text += (text.empty() ? "" : "; ") + reason;
    return text;
}

SSL *sslOf(const Client &c) {
    return static_cast<SSL *>(mosquitto_ssl_get(c.mosq));
}

std::string tlsCause(const Client &c) {
    std::string text = "TLS failed: ";
    const std::string logged = loggedCause(c);
    text += logged.empty() ? "handshake not completed" : logged;
    // The library keeps the session of a failed handshake: its verdict on the certificate tells a
    // wrong CA from a wrong name or an expired certificate.
    if (SSL *ssl = sslOf(c)) {
        const long verdict = SSL_get_verify_result(ssl);
        if (verdict != X509_V_OK)
            text += std::string(" (") + X509_verify_cert_error_string(verdict) + ")";
    }
    return text;
}

bool tlsHandshakeRunning(const Client &c) {
    SSL *ssl = sslOf(c);
    return ssl && !SSL_is_init_finished(ssl);
}

// True when the broker has not answered the client's TLS hello: a plain port says nothing to it.
bool noTlsAnswer(const Client &c) {
    SSL *ssl = sslOf(c);
    if (!ssl)
        return false;
    const OSSL_HANDSHAKE_STATE state = SSL_get_state(ssl);
    return state == TLS_ST_BEFORE || state == TLS_ST_CW_CLNT_HELLO;
}

std::string noTlsCause(const Client &c) {
    return "TLS failed: no TLS answer from port " + std::to_string(c.endpoint.port) +
           ", which does not speak TLS (the plain MQTT port?)";
}

bool isHangUp(int error) {
    return error == ECONNRESET || error == EPIPE || error == EPROTO;
}

// A broker that hangs up before its answer most often speaks the other protocol on that port or,
// under TLS 1.3, rejects the client's certificate after the handshake: OpenSSL's alert saying so
// is lost when the client's CONNECT meets the closed socket first.
std::string hangUpCause(const Client &c) {
    if (c.tls && noTlsAnswer(c))
        return noTlsCause(c) + ": it closed the connection";
    return c.tls ? "TLS failed: the broker closed the connection before accepting the client "
                   "(does it want a client certificate, or one from another CA?)"
                 : "the broker closed the connection before accepting it (does port " +
                       std::to_string(c.endpoint.port) + " want TLS?)";
}

// A broker that closes a connection it accepted only moments before, without a reason, has most
// often given its session to another client of the same identifier: Mosquitto 2.0 says nothing
// to the client it drops.
std::string takeOverHint(const Client &c) {
    const double held = Timer() - c.connectedAt;
    if (c.phase != Phase::Connected || held >= STEADY_CONNECTION_S)
        return {};
    return " " + secondsText(std::round(held * 10) / 10) +
           " after it was accepted: is another client connected as \"" + c.clientId +
           "\"? (two stations of one name take the connection from each other)";
}

// Why the connection is down after a library call that returned rc (errno then was error).
std::string dropCause(Client &c, int rc, int error) {
    if (c.connackReason > 0) {
        c.refused = true;
        // Mosquitto answers a wrong password with "not authorised" as well.
        const bool credentials = c.connackReason == MQTT_RC_NOT_AUTHORIZED ||
                                 c.connackReason == MQTT_RC_BAD_USERNAME_OR_PASSWORD;
        return "refused by the broker: " + reasonCause(c.connackReason) +
               (credentials ? " (check the user name and password)" : "");
    }
    if (c.disconnectReason >= 128)
        return "the broker ended the connection: " + reasonCause(c.disconnectReason);
    const bool tlsTrouble = c.tls && (rc == MOSQ_ERR_TLS || !c.loggedErrors.empty());
    if (tlsTrouble)
        return tlsCause(c);
    const bool hungUp = rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_CONN_LOST;
    if (c.phase == Phase::Connecting && hungUp)
        return hangUpCause(c);
    switch (rc) {
    case MOSQ_ERR_SUCCESS:
        return c.disconnectReason == 0 ? "the broker ended the connection"
                                       : "the connection was closed";
    case MOSQ_ERR_ERRNO: {
        const int cause = c.disconnectErrno ? c.disconnectErrno : error;
        return systemCause(c, cause) + (isHangUp(cause) ? takeOverHint(c) : "");
    }
    case MOSQ_ERR_CONN_LOST:
        return "connection lost (closed by the broker or the network)" + takeOverHint(c);
    case MOSQ_ERR_KEEPALIVE:
        return "no answer from the broker within the keep-alive (" +
               secondsText(c.grantedKeepAlive) + ")";
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
        return c.phase == Phase::Connecting && !c.tls
                   ? "the answer is not MQTT (does port " + std::to_string(c.endpoint.port) +
                         " want TLS?)"
                   : "the broker's answer broke the MQTT 5 protocol";
    default:
        return mosquitto_strerror(rc);
    }
}

std::string connectCause(Client &c, int rc, int error) {
    if (rc == MOSQ_ERR_EAI) {
        const std::string resolver = gai_strerror(error);
        if (error == EAI_NONAME || error == EAI_NODATA)
            return "host unknown (" + resolver + ")";
        if (error == EAI_AGAIN)
            return "name lookup failed for now (" + resolver + "): is the name server reachable?";
        return "name lookup failed (" + resolver + ")";
    }
    // On loopback the whole handshake and the CONNECT may happen within the connect call.
    if (rc == MOSQ_ERR_ERRNO)
        return isHangUp(error) ? hangUpCause(c) : systemCause(c, error);
    if (rc == MOSQ_ERR_TLS)
        return tlsCause(c);
    return mosquitto_strerror(rc);
}

void retireNotifiers(Client &c) {
    for (QSocketNotifier **notifier : {&c.reader, &c.writer}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
            NoteLoopDescriptorsChanged();
        }
    }
}

// True when bytes wait to be written: under TLS, OpenSSL's own wish.
bool wantsWrite(const Client &c) {
    const SSL *ssl = sslOf(c);
    return ssl ? SSL_want_write(ssl) != 0 : mosquitto_want_write(c.mosq);
}

// A write is wanted while the TCP connection is pending and then while the library has packets it
// could not send; under TLS only while OpenSSL itself waits to write, since the library's own flag
// outlives the write it was raised for and would keep the loop awake.
void updateWriter(Client &c) {
    if (!c.writer)
        return;
    const bool wanted = c.tcpPending || wantsWrite(c);
    if (c.writer->isEnabled() != wanted) {
        c.writer->setEnabled(wanted);
        NoteLoopDescriptorsChanged();
    }
}

void deliverEvents(int handle);
void startAttempt(Client &c);

void connectionDown(Client &c, const std::string &cause) {
    const bool wasConnected = c.phase == Phase::Connected;
    retireNotifiers(c);
    // A socket the library still holds (an attempt given up) ends now, so the broker does not keep
    // a half-open client until the next attempt replaces it.
    const int fd = mosquitto_socket(c.mosq);
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
    c.keepAliveTimer->stop();
    c.deadlineTimer->stop();
    c.phase = Phase::Waiting;
    c.cause = "broker " + c.endpoint.address + ": " + cause;
    // Messages not yet on the wire go with the connection; QoS 1 messages go out again after
    // the reconnection.
    for (auto it = c.pending.begin(); it != c.pending.end();)
        it = it->second.qos == 0 ? c.pending.erase(it) : std::next(it);
    c.unansweredSubscriptions.clear();
    if (c.opening) {
        if (c.openLoop)
            c.openLoop->quit();
        return;
    }
    if (wasConnected)
        c.events.push_back(notice(Event::Lost, c.cause));
    if (wasConnected && Timer() - c.connectedAt >= STEADY_CONNECTION_S)
        c.retryMs = FIRST_RETRY_MS;
    c.retryTimer->start(c.retryMs);
    c.retryMs = std::min(c.retryMs * 2, LAST_RETRY_MS);
}

void afterCall(Client &c, int rc, int error) {
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(c.mosq) < 0) {
        if (c.phase != Phase::Waiting)
            connectionDown(c, dropCause(c, rc, error));
    } else {
        updateWriter(c);
    }
}

void resetCallReports(Client &c) {
    c.connackReason = -1;
    c.disconnectReason = -1;
    c.disconnectErrno = 0;
}

// Reads what arrived (the library also finishes its TLS handshake there) and writes what the
// callbacks queued, at once rather than a wake-up later.
void drive(Client &c) {
    errno = 0;
    int rc = mosquitto_loop_read(c.mosq, 1);
    int error = errno;
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(c.mosq) >= 0 && mosquitto_want_write(c.mosq)) {
        errno = 0;
        rc = mosquitto_loop_write(c.mosq, 1);
        error = errno;
    }
    afterCall(c, rc, error);
}

// The kernel's TCP state of the socket (TCP_SYN_SENT, TCP_ESTABLISHED, ...); -1 when unknown.
int tcpState(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 ? info.tcpi_state : -1;
}

// While connecting, the socket's own state says what the library would not: a refused or
// unreachable TCP connection, and a broker that hung up during the TLS handshake (OpenSSL then
// reports a bare system error and the library would wait on the closed socket until the limit).
bool connectingSocketFailed(Client &c) {
    const int fd = mosquitto_socket(c.mosq);
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
        connectionDown(c, isHangUp(error) ? hangUpCause(c) : systemCause(c, error));
        return true;
    }
    const int state = tcpState(fd);
    if (state == TCP_SYN_SENT)
        return true; // still connecting: the next event tells
    c.tcpPending = false;
    // A reset whose error a read took already leaves a closed socket and no error to fetch.
    char byte;
    if (state == TCP_CLOSE || recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
        connectionDown(c, c.tls && !noTlsAnswer(c)
                              ? "TLS failed: the broker closed the connection in the handshake"
                              : hangUpCause(c));
        return true;
    }
    return false;
}

void onSocketEvent(int handle) {
    Client *c = findClient(handle);
    if (!c || c->phase == Phase::Waiting)
        return;
    resetCallReports(*c);
    if (c->phase == Phase::Connecting && connectingSocketFailed(*c)) {
        updateWriter(*c);
        deliverEvents(handle);
        return;
    }
    drive(*c);
    deliverEvents(handle);
}

void watchSocket(Client &c) {
    const int fd = mosquitto_socket(c.mosq);
    const int handle = c.handle;
    c.reader = new QSocketNotifier(fd, QSocketNotifier::Read, c.holder);
    c.writer = new QSocketNotifier(fd, QSocketNotifier::Write, c.holder);
    NoteLoopDescriptorsChanged();
    QObject::connect(c.reader, &QSocketNotifier::activated, c.holder,
                     [handle] { onSocketEvent(handle); });
    QObject::connect(c.writer, &QSocketNotifier::activated, c.holder,
                     [handle] { onSocketEvent(handle); });
}

// What a wait that polls by itself watches for the clients: each socket as its notifiers do.
void collectSockets(std::vector<pollfd> &descriptors) {
    for (const auto &[handle, c] : clients) {
        short events = 0;
        if (c->reader && c->reader->isEnabled())
            events |= POLLIN;
        if (c->writer && c->writer->isEnabled())
            events |= POLLOUT;
        if (events)
            descriptors.push_back(
                {int(c->reader ? c->reader->socket() : c->writer->socket()), events, 0});
    }
}

void startAttempt(Client &c) {
    c.phase = Phase::Connecting;
    c.tcpPending = true;
    c.refused = false;
    c.loggedErrors.clear();
    resetCallReports(c);
    errno = 0;
    const int rc =
        mosquitto_connect_async(c.mosq, c.endpoint.host.c_str(), c.endpoint.port, c.keepAlive);
    const int error = errno;
    if (rc != MOSQ_ERR_SUCCESS) {
        connectionDown(c, connectCause(c, rc, error));
        return;
    }
    watchSocket(c);
    updateWriter(c);
    c.deadlineTimer->start(int(std::ceil(c.timeoutS * 1000.0)));
}

void onDeadline(int handle) {
    Client *c = findClient(handle);
    if (!c || c->phase != Phase::Connecting)
        return;
    const std::string limit = secondsText(c->timeoutS);
    if (tcpState(mosquitto_socket(c->mosq)) == TCP_SYN_SENT)
        connectionDown(*c, "timed out after " + limit + " (no TCP connection: is the host up?)");
    else if (noTlsAnswer(*c))
        connectionDown(*c, noTlsCause(*c) + " within " + limit);
    else if (tlsHandshakeRunning(*c))
        connectionDown(*c, "timed out after " + limit + " in the TLS handshake");
    else
        connectionDown(*c, "timed out after " + limit + " waiting for the broker to accept");
}

void onKeepAliveCheck(int handle) {
    Client *c = findClient(handle);
    if (!c || c->phase != Phase::Connected)
        return;
    resetCallReports(*c);
    errno = 0;
    const int rc = mosquitto_loop_misc(c->mosq);
    afterCall(*c, rc, errno);
    deliverEvents(handle);
}

void onRetry(int handle) {
    Client *c = findClient(handle);
    if (!c || c->phase != Phase::Waiting)
        return;
    startAttempt(*c);
    deliverEvents(handle);
}

// Runs the user's callbacks outside every library call, in the order things happened; a callback
// may close the client or wait in a nested event loop, where later events wait their turn.
void deliverEvents(int handle) {
    Client *c = findClient(handle);
    if (!c || c->delivering)
        return;
    c->delivering = true;
    while ((c = findClient(handle)) && !c->events.empty()) {
        const Event event = std::move(c->events.front());
        c->events.pop_front();
        if (c->closing)
            continue;
        switch (event.kind) {
        case Event::Connected:
            if (c->onConnection)
                c->onConnection(handle, 1, "", c->callbackData);
            break;
        case Event::Lost:
        case Event::Refused:
            if (c->onConnection)
                c->onConnection(handle, event.kind == Event::Refused, event.cause.c_str(),
                                c->callbackData);
            break;
        case Event::Message:
            if (c->onMessage) {
                const MqttMessage message{event.topic.c_str(),
                                          event.payload.data(),
                                          int(event.payload.size()),
                                          event.hasResponseTopic ? event.responseTopic.c_str()
                                                                 : nullptr,
                                          event.hasCorrelation ? event.correlation.data() : nullptr,
                                          int(event.correlation.size()),
                                          event.hasUser ? event.user.c_str() : nullptr};
                c->onMessage(handle, &message, c->callbackData);
            }
            break;
        }
    }
    if (c)
        c->delivering = false;
}

int sendSubscription(Client &c, const Client::Subscription &subscription) {
    int mid = 0;
    const int rc =
        mosquitto_subscribe_v5(c.mosq, &mid, subscription.pattern.c_str(), subscription.qos,
                               subscription.fromOthersOnly ? MQTT_SUB_OPT_NO_LOCAL : 0, nullptr);
    if (rc == MOSQ_ERR_SUCCESS)
        c.unansweredSubscriptions[mid] = subscription.pattern;
    else
        lastError = "broker " + c.endpoint.address + ": subscribing to " + subscription.pattern +
                    " failed: " + mosquitto_strerror(rc);
    return rc;
}

void onConnack(mosquitto *, void *data, int reason, int, const mosquitto_property *properties) {
    Client &c = *static_cast<Client *>(data);
    c.connackReason = reason;
    if (reason != MQTT_RC_SUCCESS)
        return;
    c.phase = Phase::Connected;
    c.cause.clear();
    c.loggedErrors.clear();
    c.connectedAt = Timer();
    c.deadlineTimer->stop();
    uint16_t serverKeepAlive = 0;
    c.grantedKeepAlive = mosquitto_property_read_int16(properties, MQTT_PROP_SERVER_KEEP_ALIVE,
                                                       &serverKeepAlive, false)
                             ? serverKeepAlive
                             : c.keepAlive;
    if (c.grantedKeepAlive > 0)
        c.keepAliveTimer->start(c.grantedKeepAlive * 1000 / KEEPALIVE_CHECKS_PER_PERIOD);
    for (const Client::Subscription &subscription : c.subscriptions)
        sendSubscription(c, subscription);
    if (c.opening) {
        if (c.openLoop)
            c.openLoop->quit();
    } else {
        c.events.push_back(notice(Event::Connected, ""));
    }
}

void onDisconnect(mosquitto *, void *data, int reason, const mosquitto_property *) {
    Client &c = *static_cast<Client *>(data);
    c.disconnectErrno = errno; // the call that failed set it just before
    c.disconnectReason = reason;
}

void onMessage(mosquitto *, void *data, const mosquitto_message *message,
               const mosquitto_property *properties) {
    Client &c = *static_cast<Client *>(data);
    if (c.closing)
        return;
    Event event;
    event.topic = message->topic;
    if (message->payloadlen > 0)
        event.payload.assign(static_cast<const char *>(message->payload),
                             size_t(message->payloadlen));
    char *responseTopic = nullptr;
    if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &responseTopic,
                                       false)) {
        event.hasResponseTopic = true;
        event.responseTopic = responseTopic;
        std::free(responseTopic);
    }
    void *correlation = nullptr;
    uint16_t correlationLength = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation,
                                       &correlationLength, false)) {
        event.hasCorrelation = true;
        if (correlation)
            event.correlation.assign(static_cast<const char *>(correlation), correlationLength);
        std::free(correlation);
    }
    // The first user property named "user": who a request says it comes from.
    char *name = nullptr;
    char *value = nullptr;
    for (const mosquitto_property *at = mosquitto_property_read_string_pair(
             properties, MQTT_PROP_USER_PROPERTY, &name, &value, false);
         at; at = mosquitto_property_read_string_pair(at, MQTT_PROP_USER_PROPERTY, &name, &value,
                                                      true)) {
        if (!event.hasUser && name && std::strcmp(name, USER_PROPERTY) == 0) {
            event.hasUser = true;
            event.user = value ? value : "";
        }
        std::free(name);
        std::free(value);
        name = value = nullptr;
    }
    c.events.push_back(std::move(event));
}

// QoS 0: the packet is on the wire; QoS 1: the broker answered it.
void onPublished(mosquitto *, void *data, int mid, int reason, const mosquitto_property *) {
    Client &c = *static_cast<Client *>(data);
    const auto found = c.pending.find(mid);
    if (found == c.pending.end()) {
        c.completedDuringPublish = mid;
        return;
    }
    if (reason >= MQTT_RC_UNSPECIFIED)
        c.events.push_back(notice(Event::Refused, "broker " + c.endpoint.address + ": message to " +
                                                      found->second.topic +
                                                      " refused: " + reasonCause(reason)));
    c.pending.erase(found);
}

void onSubscribed(mosquitto *, void *data, int mid, int count, const int *granted,
                  const mosquitto_property *) {
    Client &c = *static_cast<Client *>(data);
    const auto found = c.unansweredSubscriptions.find(mid);
    if (found == c.unansweredSubscriptions.end())
        return;
    for (int i = 0; i < count; ++i)
        if (granted[i] >= MQTT_RC_UNSPECIFIED)
            c.events.push_back(notice(Event::Refused, "broker " + c.endpoint.address +
                                                          ": subscription to " + found->second +
                                                          " refused: " + reasonCause(granted[i])));
    c.unansweredSubscriptions.erase(found);
}

void onLog(mosquitto *, void *data, int level, const char *line) {
    Client &c = *static_cast<Client *>(data);
    if ((level & MOSQ_LOG_ERR) && c.loggedErrors.size() < MAX_LOGGED_ERRORS)
        c.loggedErrors.push_back(line);
}

// An encrypted key would make OpenSSL ask on the terminal; the service has no one to ask.
int noKeyPassword(char *, int, int, void *) {
    return 0;
}

std::string unreadable(const char *what, const char *path) {
    if (access(path, R_OK) == 0)
        return {};
    return std::string(what) + " \"" + path + "\" cannot be read: " + std::strerror(errno);
}

// "" when a will can go to topic with qos, else why not.
std::string willFault(const char *topic, int qos) {
    if (qos < 0 || qos > 1)
        return "will QoS " + std::to_string(qos) + " is not 0 or 1";
    if (mosquitto_pub_topic_check(topic) != MOSQ_ERR_SUCCESS)
        return std::string("will topic \"") + topic + "\" is not a topic name";
    return "";
}

// The will of the client's next connection.
bool setWill(Client &c, const char *topic, const void *payload, int length, int qos, int retain) {
    return mosquitto_will_set_v5(c.mosq, topic, length, payload, qos, retain != 0, nullptr) ==
           MOSQ_ERR_SUCCESS;
}

std::string checkSettings(const MqttSettings &s, double timeoutS) {
    if (!s.host || !*s.host)
        return "no broker host given";
    if (s.port < 1 || s.port > MAX_PORT)
        return "broker port " + std::to_string(s.port) + " is not 1..65535";
    if (s.maxPacketBytes < 0)
        return "maximum packet size " + std::to_string(s.maxPacketBytes) + " is negative";
    if (s.keepAliveSeconds != 0 &&
        (s.keepAliveSeconds < MIN_KEEPALIVE_S || s.keepAliveSeconds > MAX_KEEPALIVE_S))
        return "keep-alive " + std::to_string(s.keepAliveSeconds) + " s is not 0 or 5..65535";
    if (!(timeoutS > 0 && timeoutS <= MAX_TIMEOUT_S))
        return "time-out " + secondsText(timeoutS) + " is not above 0 and at most 3600 s";
    if (s.password && !s.user)
        return "a password needs a user name";
    if (s.tls != 0 && s.tls != 1)
        return "tls must be 0 or 1";
    if (!s.tls && (s.caFile || s.certFile || s.keyFile))
        return "certificate files given for a connection without TLS";
    if (!s.certFile != !s.keyFile)
        return "a client certificate needs its key, and a key its certificate";
    if (s.willTopic) {
        const std::string wrong = willFault(s.willTopic, s.willQos);
        if (!wrong.empty())
            return wrong;
    }
    for (const auto &[what, path] :
         {std::pair{"CA file", s.caFile}, std::pair{"client certificate", s.certFile},
          std::pair{"client key", s.keyFile}}) {
        if (path) {
            const std::string why = unreadable(what, path);
            if (!why.empty())
                return why;
        }
    }
    return {};
}

// Asks the broker, in every CONNECT, to send this client no packet larger than bytes. The library
// (2.0) takes CONNECT properties only in its blocking connect, which keeps them for later
// connections before it checks the port: an invalid one stores them and connects nowhere.
bool setMaximumPacketSize(Client &c, int bytes) {
    mosquitto_property *properties = nullptr;
    if (mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, uint32_t(bytes)) !=
        MOSQ_ERR_SUCCESS)
        return false;
    const int stored = mosquitto_connect_bind_v5(c.mosq, c.endpoint.host.c_str(), INVALID_PORT, 0,
                                                 nullptr, properties);
    mosquitto_property_free_all(&properties);
    return stored == MOSQ_ERR_INVAL;
}

std::string configure(Client &c, const MqttSettings &s) {
    mosquitto_int_option(c.mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Values go out as they come rather than gathered behind Nagle's wait.
    mosquitto_int_option(c.mosq, MOSQ_OPT_TCP_NODELAY, 1);
    if (s.user && mosquitto_username_pw_set(c.mosq, s.user, s.password) != MOSQ_ERR_SUCCESS)
        return "the user name or password is not valid UTF-8";
    if (s.tls) {
        if (!s.caFile)
            mosquitto_int_option(c.mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (s.caFile || s.certFile) {
            const char *caDirectory = s.caFile ? nullptr : X509_get_default_cert_dir();
            if (mosquitto_tls_set(c.mosq, s.caFile, caDirectory, s.certFile, s.keyFile,
                                  noKeyPassword) != MOSQ_ERR_SUCCESS)
                return "the TLS files cannot be used";
        }
    }
    if (s.maxPacketBytes > 0 && !setMaximumPacketSize(c, s.maxPacketBytes))
        return "the maximum packet size cannot be set";
    if (s.willTopic) {
        const char *payload = s.willPayload ? s.willPayload : "";
        const int length = s.willLength > 0 ? s.willLength : int(std::strlen(payload));
        if (!setWill(c, s.willTopic, payload, length, s.willQos, s.willRetain))
            return "the will cannot be set";
    }
    mosquitto_connect_v5_callback_set(c.mosq, onConnack);
    mosquitto_disconnect_v5_callback_set(c.mosq, onDisconnect);
    mosquitto_message_v5_callback_set(c.mosq, onMessage);
    mosquitto_publish_v5_callback_set(c.mosq, onPublished);
    mosquitto_subscribe_v5_callback_set(c.mosq, onSubscribed);
    mosquitto_log_callback_set(c.mosq, onLog);
    return {};
}

void makeQtParts(Client &c) {
    static bool collected = false;
    if (!collected) {
        AddLoopDescriptorSource(collectSockets);
        collected = true;
    }
    const int handle = c.handle;
    c.holder = new QObject;
    c.keepAliveTimer = new QTimer(c.holder);
    c.retryTimer = new QTimer(c.holder);
    c.deadlineTimer = new QTimer(c.holder);
    c.retryTimer->setSingleShot(true);
    c.deadlineTimer->setSingleShot(true);
    QObject::connect(c.keepAliveTimer, &QTimer::timeout, c.holder,
                     [handle] { onKeepAliveCheck(handle); });
    QObject::connect(c.retryTimer, &QTimer::timeout, c.holder, [handle] { onRetry(handle); });
    QObject::connect(c.deadlineTimer, &QTimer::timeout, c.holder, [handle] { onDeadline(handle); });
}

// The holder may be running one of its own slots (a callback closed the client): it goes once
// the event loop is back.
void destroy(std::unique_ptr<Client> c) {
    retireNotifiers(*c);
    c->holder->disconnect();
    for (QTimer *timer : {c->keepAliveTimer, c->retryTimer, c->deadlineTimer}) {
        timer->stop();
        timer->disconnect();
    }
    c->holder->deleteLater();
    mosquitto_destroy(c->mosq);
}

// Drives the socket directly until ready() or the deadline: closing must not run the program's
// other work, nor this client's callbacks.
template <typename Ready> void driveUntil(Client &c, double deadline, Ready ready) {
    for (;;) {
        if (mosquitto_socket(c.mosq) >= 0 && mosquitto_want_write(c.mosq) &&
            mosquitto_loop_write(c.mosq, 1) != MOSQ_ERR_SUCCESS)
            return;
        const int fd = mosquitto_socket(c.mosq);
        const double left = deadline - Timer();
        if (fd < 0 || ready() || left <= 0)
            return;
        pollfd socket{fd, short(POLLIN | (wantsWrite(c) ? POLLOUT : 0)), 0};
        if (poll(&socket, 1, int(std::ceil(left * 1000.0))) < 0 && errno != EINTR)
            return;
        if (mosquitto_loop_read(c.mosq, 1) != MOSQ_ERR_SUCCESS)
            return;
    }
}

void flushAndDisconnect(Client &c) {
    const double deadline = Timer() + c.timeoutS;
    driveUntil(c, deadline, [&c] { return c.pending.empty() && !wantsWrite(c); });
    if (mosquitto_socket(c.mosq) < 0)
        return;
    // The library closes the socket once the DISCONNECT is on the wire; the broker then drops
    // the will.
    mosquitto_disconnect_v5(c.mosq, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    driveUntil(c, deadline, [] { return false; });
}

int publish(int handle, const char *topic, const void *payload, int length, int qos, int retain,
            const mosquitto_property *properties) {
    Client *c = findClient(handle);
    if (!c)
        return fail(MQTT_INVALID_CLIENT, "no MQTT client " + std::to_string(handle));
    if (!MqttTopicPublishable(topic))
        return fail(MQTT_BAD_ARGUMENT, std::string("\"") + (topic ? topic : "") +
                                           "\" is not a topic name to publish to");
    if (length < 0 || (length > 0 && !payload))
        return fail(MQTT_BAD_ARGUMENT, "no payload of " + std::to_string(length) + " bytes");
    if (qos < 0 || qos > 1)
        return fail(MQTT_BAD_ARGUMENT, "QoS " + std::to_string(qos) + " is not 0 or 1");
    if (c->phase != Phase::Connected)
        return fail(MQTT_NOT_CONNECTED, "not connected: " + c->cause);
    if (c->pending.size() >= size_t(MQTT_MAX_PENDING))
        return fail(MQTT_BUSY, "broker " + c->endpoint.address + " has not taken the last " +
                                   std::to_string(MQTT_MAX_PENDING) + " messages yet");
    int mid = 0;
    c->completedDuringPublish = 0;
    const int rc =
        mosquitto_publish_v5(c->mosq, &mid, topic, length, payload, qos, retain != 0, properties);
    switch (rc) {
    case MOSQ_ERR_SUCCESS:
        break;
    case MOSQ_ERR_ERRNO:
    case MOSQ_ERR_CONN_LOST:
        // The write found the connection broken before the event loop did, which it will next.
        // A QoS 1 message stays with the library and goes out again after the reconnection.
        if (qos == 0)
            return fail(MQTT_NOT_CONNECTED, "broker " + c->endpoint.address + ": connection lost");
        break;
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_OVERSIZE_PACKET:
        return fail(MQTT_BAD_ARGUMENT, "a message of " + std::to_string(length) +
                                           " bytes is larger than broker " + c->endpoint.address +
                                           " accepts");
    case MOSQ_ERR_QOS_NOT_SUPPORTED:
        return fail(MQTT_BAD_ARGUMENT, "broker " + c->endpoint.address + " does not support QoS " +
                                           std::to_string(qos));
    case MOSQ_ERR_MALFORMED_UTF8:
        return fail(MQTT_BAD_ARGUMENT, "the topic is not valid UTF-8");
    case MOSQ_ERR_NO_CONN:
        return fail(MQTT_NOT_CONNECTED, "not connected to broker " + c->endpoint.address);
    default:
        return fail(MQTT_FAILED, std::string("publishing failed: ") + mosquitto_strerror(rc));
    }
    if (c->completedDuringPublish != mid)
        c->pending[mid] = Pending{qos, qos > 0 ? topic : ""};
    updateWriter(*c);
    return 0;
}

} // namespace

int MqttOpen(const MqttSettings *settings, double timeoutSeconds) {
    if (!settings)
        return fail(MQTT_BAD_ARGUMENT, "no MQTT settings given");
    if (!QCoreApplication::instance())
        return fail(MQTT_NO_EVENT_LOOP, "the MQTT service needs the program's Qt application");
    const std::string wrong = checkSettings(*settings, timeoutSeconds);
    if (!wrong.empty())
        return fail(MQTT_BAD_ARGUMENT, "MQTT settings: " + wrong);
    static const bool libraryReady = mosquitto_lib_init() == MOSQ_ERR_SUCCESS;
    if (!libraryReady)
        return fail(MQTT_FAILED, "the MQTT library cannot start");

    auto owned = std::make_unique<Client>();
    Client &c = *owned;
    c.handle = nextHandle++;
    c.endpoint.host = settings->host;
    c.endpoint.port = settings->port;
    c.endpoint.address = brokerLabel(c.endpoint.host, c.endpoint.port);
    c.tls = settings->tls != 0;
    c.keepAlive = settings->keepAliveSeconds;
    c.timeoutS = timeoutSeconds;
    const bool namedClient = settings->clientId && *settings->clientId;
    c.mosq = mosquitto_new(namedClient ? settings->clientId : nullptr, true, &c);
    if (namedClient)
        c.clientId = settings->clientId;
    if (!c.mosq)
        return fail(MQTT_FAILED,
                    std::string("the MQTT client cannot be made: ") + std::strerror(errno));
    makeQtParts(c);
    const int handle = c.handle;
    clients[handle] = std::move(owned);
    const std::string unusable = configure(c, *settings);
    if (!unusable.empty()) {
        MqttClose(handle);
        return fail(MQTT_BAD_ARGUMENT, "MQTT settings: " + unusable);
    }

    QEventLoop loop;
    c.openLoop = &loop;
    startAttempt(c);
    if (c.phase == Phase::Connecting)
        loop.exec();
    if (!findClient(handle))
        return fail(MQTT_CANNOT_CONNECT, "broker " + brokerLabel(settings->host, settings->port) +
                                             ": the client was closed while connecting");
    c.openLoop = nullptr;
    c.opening = false;
    if (c.phase == Phase::Connected)
        return handle;
    if (c.phase == Phase::Connecting)
        connectionDown(c, "the program stopped waiting for the connection");
    const int code = c.refused ? MQTT_REFUSED : MQTT_CANNOT_CONNECT;
    const std::string why = c.cause;
    MqttClose(handle);
    return fail(code, why);
}

int MqttSetCallbacks(int client, MqttMessageCallback onMessage, MqttConnectionCallback onConnection,
                     void *data) {
    Client *c = findClient(client);
    if (!c)
        return fail(MQTT_INVALID_CLIENT, "no MQTT client " + std::to_string(client));
    c->onMessage = onMessage;
    c->onConnection = onConnection;
    c->callbackData = data;
    return 0;
}

int MqttSubscribe(int client, const char *pattern, int qos, int fromOthersOnly) {
    Client *c = findClient(client);
    if (!c)
        return fail(MQTT_INVALID_CLIENT, "no MQTT client " + std::to_string(client));
    if (!pattern || mosquitto_sub_topic_check(pattern) != MOSQ_ERR_SUCCESS)
        return fail(MQTT_BAD_ARGUMENT, std::string("\"") + (pattern ? pattern : "") +
                                           "\" is not a subscription pattern");
    if (qos < 0 || qos > 1)
        return fail(MQTT_BAD_ARGUMENT, "QoS " + std::to_string(qos) + " is not 0 or 1");
    const Client::Subscription subscription{pattern, qos, fromOthersOnly != 0};
    auto known = std::find_if(c->subscriptions.begin(), c->subscriptions.end(),
                              [pattern](const auto &s) { return s.pattern == pattern; });
    if (known == c->subscriptions.end())
        c->subscriptions.push_back(subscription);
    else
        *known = subscription;
    if (c->phase != Phase::Connected)
        return 0;
    const int rc = sendSubscription(*c, subscription);
    updateWriter(*c);
    return rc == MOSQ_ERR_SUCCESS ? 0 : MQTT_FAILED;
}

int MqttTopicPublishable(const char *topic) {
    return topic && mosquitto_pub_topic_check(topic) == MOSQ_ERR_SUCCESS &&
                   mosquitto_validate_utf8(topic, int(std::strlen(topic))) == MOSQ_ERR_SUCCESS
               ? 1
               : 0;
}

int MqttSetWill(int client, const char *topic, const void *payload, int length, int qos,
                int retain) {
    Client *c = findClient(client);
    if (!c)
        return fail(MQTT_INVALID_CLIENT, "no MQTT client " + std::to_string(client));
    const std::string wrong = topic ? willFault(topic, qos) : "the will has no topic";
    if (!wrong.empty() || length < 0 || (length > 0 && !payload))
        return fail(MQTT_BAD_ARGUMENT, wrong.empty() ? "the will's payload is missing" : wrong);
    if (!setWill(*c, topic, payload, length, qos, retain))
        return fail(MQTT_FAILED, "the will cannot be set");
    return 0;
}

int MqttPublish(int client, const char *topic, const void *payload, int length, int qos,
                int retain) {
    return publish(client, topic, payload, length, qos, retain, nullptr);
}

int MqttPublishResponse(int client, const char *responseTopic, const void *correlation,
                        int correlationLength, const void *payload, int length) {
    if (correlationLength < 0 || correlationLength > MAX_CORRELATION_BYTES ||
        (correlationLength > 0 && !correlation))
        return fail(MQTT_BAD_ARGUMENT, "correlation data of " + std::to_string(correlationLength) +
                                           " bytes (at most 65535)");
    mosquitto_property *properties = nullptr;
    if (correlationLength > 0 &&
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation,
                                      uint16_t(correlationLength)) != MOSQ_ERR_SUCCESS)
        return fail(MQTT_FAILED, "the correlation data cannot be attached");
    const int result = publish(client, responseTopic, payload, length, RESPONSE_QOS, 0, properties);
    mosquitto_property_free_all(&properties);
    return result;
}

int MqttIsConnected(int client) {
    const Client *c = findClient(client);
    return c && c->phase == Phase::Connected ? 1 : 0;
}

const char *MqttConnectionCause(int client) {
    const Client *c = findClient(client);
    return c ? c->cause.c_str() : "";
}

void MqttClose(int client) {
    const auto found = clients.find(client);
    if (found == clients.end())
        return;
    std::unique_ptr<Client> c = std::move(found->second);
    clients.erase(found);
    c->closing = true;
    if (c->openLoop)
        c->openLoop->quit();
    retireNotifiers(*c);
    if (c->phase == Phase::Connected)
        flushAndDisconnect(*c);
    destroy(std::move(c));
}

const char *MqttLastError(void) {
    return lastError.c_str();
}
