// The MQTT service against a real Mosquitto broker that each test starts on loopback ports with a
// configuration of its own.
#include "broker.h"
#include "mqtt.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const double OPEN_TIMEOUT_S = 5.0;
const double WAIT_S = 10.0;
// Reconnections back off up to 30 s apart; a broker back again is seen within one such pause.
const double RECONNECT_WAIT_S = 40.0;
const int KEEPALIVE_S = 60;
const int SHORT_KEEPALIVE_S = 5;

struct Received {
    std::string topic;
    std::string payload;
};

// A client of the service, closed however the test ends.
struct Connection {
    int client;
    explicit Connection(const MqttSettings &settings, double timeoutSeconds = OPEN_TIMEOUT_S)
        : client(MqttOpen(&settings, timeoutSeconds)) {}
    ~Connection() { MqttClose(client); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
};

// What a client's callbacks saw; answers requests when asked to.
struct Recorder {
    std::vector<Received> messages;
    std::vector<std::pair<int, std::string>> connectionChanges;
    bool answerRequests = false;

    bool received(const std::string &topic, const std::string &payload) const {
        for (const Received &m : messages)
            if (m.topic == topic && m.payload == payload)
                return true;
        return false;
    }
};

void recordMessage(int client, const MqttMessage *message, void *data) {
    Recorder &recorder = *static_cast<Recorder *>(data);
    const std::string text(static_cast<const char *>(message->payload), size_t(message->length));
    recorder.messages.push_back({message->topic, text});
    if (recorder.answerRequests && message->responseTopic) {
        const std::string answer = "pong:" + text;
        MqttPublishResponse(client, message->responseTopic, message->correlation,
                            message->correlationLength, answer.data(), int(answer.size()));
    }
}

void recordConnection(int, int connected, const char *cause, void *data) {
    static_cast<Recorder *>(data)->connectionChanges.emplace_back(connected, cause);
}

MqttSettings settingsFor(const Broker &broker, size_t user = 0) {
    MqttSettings settings{};
    settings.host = "127.0.0.1";
    settings.port = broker.port();
    settings.user = broker.options().users[user].name.c_str();
    settings.password = broker.options().users[user].password.c_str();
    settings.clientId = "kelvaro-test";
    settings.keepAliveSeconds = KEEPALIVE_S;
    return settings;
}

std::string brokerName(int port) {
    return "127.0.0.1:" + std::to_string(port);
}

std::vector<std::string> with(std::vector<std::string> arguments,
                              const std::vector<std::string> &more) {
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

// The broker handles one connection's packets in order: once the client's own message on topic
// comes back, every subscription it made before is in force.
bool subscriptionsInForce(int client, const Recorder &recorder, const std::string &topic) {
    const std::string marker = "marker";
    return MqttPublish(client, topic.c_str(), marker.data(), int(marker.size()), 1, 0) == 0 &&
           WaitUntil([&] { return recorder.received(topic, marker); }, WAIT_S);
}

// A socket on 127.0.0.1 that listens and never answers: the kernel completes the TCP handshake and
// the MQTT answer never comes.
struct SilentListener {
    int fd = -1;
    int port = 0;
    SilentListener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            ::listen(fd, 4) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            port = ntohs(address.sin_port);
    }
    ~SilentListener() { ::close(fd); }
};

} // namespace

TEST(MqttService, AnswersRequestsWithTheirCorrelationData) {
    Broker broker;
    ASSERT_TRUE(broker.start()) << broker.error();
    const Connection station(settingsFor(broker));
    const int client = station.client;
    ASSERT_GT(client, 0) << MqttLastError();
    Recorder recorder;
    recorder.answerRequests = true;
    MqttSetCallbacks(client, recordMessage, recordConnection, &recorder);
    ASSERT_EQ(MqttSubscribe(client, "kelvaro/request", 1, 0), 0);
    ASSERT_TRUE(subscriptionsInForce(client, recorder, "kelvaro/request"));

    // mosquitto_rr subscribes to the response topic, sends the request and prints the answer.
    const ClientResult exchange =
        RunClient("mosquitto_rr",
                  with(broker.clientArguments(false, 1),
                       {"-t", "kelvaro/request", "-e", "kelvaro/reply/op7", "-m", "ping", "-D",
                        "publish", "correlation-data", "req-42", "-F", "%t|%D|%p", "-W", "10"}),
                  2 * WAIT_S);
    EXPECT_EQ(exchange.exitCode, 0) << exchange.errors;
    EXPECT_EQ(exchange.output, "kelvaro/reply/op7|req-42|pong:ping\n");

    // What the service refuses before anything goes out.
    EXPECT_EQ(MqttPublishResponse(client, "kelvaro/reply/#", "c", 1, "x", 1), MQTT_BAD_ARGUMENT);
    EXPECT_EQ(MqttPublish(client, "kelvaro/+/norm", "1", 1, 0, 0), MQTT_BAD_ARGUMENT);
    EXPECT_EQ(MqttPublish(client, "kelvaro/live/norm", "1", 1, 2, 0), MQTT_BAD_ARGUMENT);
    EXPECT_EQ(MqttSubscribe(client, "kelvaro/#/x", 0, 0), MQTT_BAD_ARGUMENT);
}

TEST(MqttService, AHungBrokerBoundsWhatWaitsAndIsNoticedByTheKeepAlive) {
    Broker broker;
    ASSERT_TRUE(broker.start()) << broker.error();
    MqttSettings settings = settingsFor(broker);
    settings.keepAliveSeconds = SHORT_KEEPALIVE_S;
    const Connection station(settings);
    const int client = station.client;
    ASSERT_GT(client, 0) << MqttLastError();
    Recorder recorder;
    MqttSetCallbacks(client, recordMessage, recordConnection, &recorder);

    // A hung broker keeps the connection open and acknowledges nothing.
    broker.pause();
    int accepted = 0;
    int result = 0;
    while ((result = MqttPublish(client, "kelvaro/live/norm", "1234", 4, 1, 0)) == 0)
        ++accepted;
    EXPECT_EQ(result, MQTT_BUSY);
    EXPECT_EQ(accepted, MQTT_MAX_PENDING);
    EXPECT_NE(std::string(MqttLastError()).find(brokerName(broker.port())), std::string::npos);

    // Its silence outlasts the keep-alive: the connection is given up, as when the network goes.
    ASSERT_TRUE(WaitUntil([&] { return !recorder.connectionChanges.empty(); }, RECONNECT_WAIT_S));
    EXPECT_EQ(recorder.connectionChanges[0].first, 0);
    EXPECT_NE(recorder.connectionChanges[0].second.find("no answer from the broker within the "
                                                        "keep-alive (5 s)"),
              std::string::npos)
        << recorder.connectionChanges[0].second;

    // Back again, it takes the QoS 1 messages that were waiting (their acknowledgements make room)
    // and new ones.
    broker.resume();
    ASSERT_TRUE(
        WaitUntil([&] { return recorder.connectionChanges.size() == 2; }, RECONNECT_WAIT_S));
    EXPECT_EQ(recorder.connectionChanges[1], std::make_pair(1, std::string()));
    EXPECT_TRUE(WaitUntil(
        [&] { return MqttPublish(client, "kelvaro/live/norm", "1234", 4, 1, 0) == 0; }, WAIT_S))
        << MqttLastError();
}

// Two clients of one identifier take the session from each other; each loss names the likely
// cause, and the reconnections back off instead of trading the session once a second.
TEST(MqttService, TwoClientsOfOneIdentifierSayWhyAndBackOff) {
    Broker broker;
    ASSERT_TRUE(broker.start()) << broker.error();
    const Connection first(settingsFor(broker));
    ASSERT_GT(first.client, 0) << MqttLastError();
    Recorder firstSaw;
    MqttSetCallbacks(first.client, recordMessage, recordConnection, &firstSaw);
    const Connection second(settingsFor(broker));
    ASSERT_GT(second.client, 0) << MqttLastError();
    Recorder secondSaw;
    MqttSetCallbacks(second.client, recordMessage, recordConnection, &secondSaw);

    const double watchedS = 10.0;
    WaitUntil([] { return false; }, watchedS);
    int losses = 0;
    for (const Recorder *saw : {&firstSaw, &secondSaw})
        for (const auto &[connected, cause] : saw->connectionChanges) {
            if (connected)
                continue;
            ++losses;
            EXPECT_NE(cause.find("another client"), std::string::npos) << cause;
            EXPECT_NE(cause.find("kelvaro-test"), std::string::npos) << cause;
        }
    EXPECT_GE(losses, 2);
    // Once a second each would lose it about ten times; backing off 1, 2, 4 s, about five.
    EXPECT_LE(losses, 7);
}

TEST(MqttService, FailuresSayWhy) {
    Broker broker;
    ASSERT_TRUE(broker.start()) << broker.error();

    const auto expectFailure = [](const MqttSettings &settings, double timeout, int code,
                                  const std::vector<std::string> &words) {
        EXPECT_EQ(Connection(settings, timeout).client, code) << MqttLastError();
        for (const std::string &word : words)
            EXPECT_NE(std::string(MqttLastError()).find(word), std::string::npos)
                << MqttLastError() << " lacks: " << word;
    };

    // A wrong password, a wrong CA and a refusal by the access rules: the station's tests.
    MqttSettings nobodyListens = settingsFor(broker);
    nobodyListens.port = FreeLoopbackPort();
    expectFailure(nobodyListens, OPEN_TIMEOUT_S, MQTT_CANNOT_CONNECT,
                  {brokerName(nobodyListens.port), "connection refused: is the broker running"});

    // A label longer than 63 characters is no DNS name: the resolver rejects it without asking a
    // server. Checked with strace -f -e trace=network on this test: it opens no datagram socket
    // at all, and every connect goes to 127.0.0.1 or to nscd's local socket.
    const std::string unknownHost = std::string(64, 'x') + ".invalid";
    MqttSettings unknown = settingsFor(broker);
    unknown.host = unknownHost.c_str();
    expectFailure(unknown, OPEN_TIMEOUT_S, MQTT_CANNOT_CONNECT, {unknownHost, "host unknown"});

    SilentListener silent;
    ASSERT_GT(silent.port, 0);
    MqttSettings noAnswer = settingsFor(broker);
    noAnswer.port = silent.port;
    expectFailure(noAnswer, 1.0, MQTT_CANNOT_CONNECT,
                  {brokerName(silent.port), "timed out after 1 s waiting for the broker"});
}

// A wrong CA is the station's test; here the client's own certificate.
TEST(MqttService, TlsShowsTheClientCertificate) {
    BrokerOptions options;
    options.tls = true;
    options.requireClientCertificate = true;
    Broker broker(options);
    ASSERT_TRUE(broker.start()) << broker.error();
    const std::string caFile = broker.caFile();
    const std::string certFile = broker.clientCertFile();
    const std::string keyFile = broker.clientKeyFile();
    MqttSettings settings = settingsFor(broker);
    settings.port = broker.tlsPort();
    settings.tls = 1;
    settings.caFile = caFile.c_str();
    settings.certFile = certFile.c_str();
    settings.keyFile = keyFile.c_str();

    {
        const Connection station(settings);
        ASSERT_GT(station.client, 0) << MqttLastError();
        Recorder recorder;
        MqttSetCallbacks(station.client, recordMessage, recordConnection, &recorder);
        ASSERT_EQ(MqttSubscribe(station.client, "kelvaro/cmd/#", 0, 0), 0);
        EXPECT_TRUE(subscriptionsInForce(station.client, recorder, "kelvaro/cmd/self"));
    }

    MqttSettings noCertificate = settings;
    noCertificate.certFile = nullptr;
    noCertificate.keyFile = nullptr;
    EXPECT_EQ(Connection(noCertificate).client, MQTT_CANNOT_CONNECT);
    const std::string noCertificateCause = MqttLastError();
    EXPECT_NE(noCertificateCause.find("TLS failed"), std::string::npos) << noCertificateCause;
    EXPECT_NE(noCertificateCause.find("certificate"), std::string::npos) << noCertificateCause;

    MqttSettings plainToTls = settingsFor(broker);
    plainToTls.port = broker.tlsPort();
    EXPECT_EQ(Connection(plainToTls).client, MQTT_CANNOT_CONNECT);
    const std::string plainCause = MqttLastError();
    EXPECT_NE(plainCause.find(brokerName(broker.tlsPort())), std::string::npos) << plainCause;
    EXPECT_NE(plainCause.find("want TLS?"), std::string::npos) << plainCause;

    // TLS to the plain port: Mosquitto hangs up on the hello at once, which is said as it
    // happens, not as a time-out; a server that holds the connection is named at the limit.
    MqttSettings tlsToPlain = settings;
    tlsToPlain.port = broker.port();
    EXPECT_EQ(Connection(tlsToPlain).client, MQTT_CANNOT_CONNECT);
    const std::string tlsCause = MqttLastError();
    EXPECT_NE(tlsCause.find("port " + std::to_string(broker.port()) + ", which does not speak TLS"),
              std::string::npos)
        << tlsCause;
    EXPECT_NE(tlsCause.find("it closed the connection"), std::string::npos) << tlsCause;

    SilentListener silent;
    ASSERT_GT(silent.port, 0);
    tlsToPlain.port = silent.port;
    EXPECT_EQ(Connection(tlsToPlain, 1.0).client, MQTT_CANNOT_CONNECT);
    const std::string silentCause = MqttLastError();
    EXPECT_NE(silentCause.find("which does not speak TLS (the plain MQTT port?) within 1 s"),
              std::string::npos)
        << silentCause;
}
