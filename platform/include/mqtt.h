// MQTT client service: connections to a plant's broker (MQTT 5, plain or TLS) that run on the
// program's event loop, come back by themselves after a loss and say in words why they are down.
#pragma once

// Results: a client handle is > 0, other successes 0, failures one of these (MqttLastError says
// why, naming the broker).
enum MqttError {
    MQTT_BAD_ARGUMENT = -1,   // a setting, topic, QoS or length the service cannot use
    MQTT_CANNOT_CONNECT = -2, // host unknown, connection refused, no route, timed out, TLS failed
    MQTT_NOT_CONNECTED = -3,  // the connection is down just now; nothing was queued
    MQTT_REFUSED = -4,        // the broker answered and refused the client (credentials, rights)
    MQTT_INVALID_CLIENT = -5, // no open client has that handle
    MQTT_BUSY = -6,           // MQTT_MAX_PENDING messages have not reached the broker yet
    MQTT_NO_EVENT_LOOP = -7,  // no Qt application exists yet
    MQTT_FAILED = -8,         // the library or the system failed (out of memory, ...)
};

// Messages given to MqttPublish that the broker has not taken yet (QoS 0 not yet sent, QoS 1 not
// yet acknowledged) before MqttPublish answers MQTT_BUSY.
enum { MQTT_MAX_PENDING = 1000 };

// The delivery levels the service offers.
enum MqttQos { MQTT_QOS_AT_MOST_ONCE = 0, MQTT_QOS_AT_LEAST_ONCE = 1 };

struct MqttSettings {
    const char *host;     // the broker's name or address
    int port;             // 1..65535
    int tls;              // 0 plain, 1 TLS (the broker's certificate must name host)
    const char *caFile;   // TLS: the CA that signed the broker's certificate; nullptr: the system's
    const char *certFile; // TLS: a client certificate and its unencrypted key, both or neither
    const char *keyFile;
    const char *user;        // nullptr: none
    const char *password;    // nullptr: none; needs a user
    const char *clientId;    // nullptr or "": the broker assigns one
    int keepAliveSeconds;    // 0 (no keep-alive) or 5..65535
    const char *willTopic;   // nullptr: no will; else published by the broker when the connection
    const char *willPayload; // dies without MqttClose
    int willLength;          // its bytes; 0: willPayload is text up to its NUL
    int willQos;             // 0 or 1
    int willRetain;
    int maxPacketBytes; // 0: no bound; else the broker sends no larger packet to this client
};

// A message of a subscription, valid during the callback. responseTopic, correlation (length 0)
// and user are nullptr when the sender set none; user is its MQTT 5 user property "user".
struct MqttMessage {
    const char *topic;
    const void *payload;
    int length;
    const char *responseTopic;
    const void *correlation;
    int correlationLength;
    const char *user;
};
// Runs from the event loop for each message of a subscription.
typedef void (*MqttMessageCallback)(int client, const struct MqttMessage *message, void *data);
// Runs from the event loop once when the connection is lost (0, why) and when it is back (1, "");
// also (1, why) when the broker refuses a subscription or a QoS 1 message but keeps the connection.
typedef void (*MqttConnectionCallback)(int client, int connected, const char *cause, void *data);

// Connects and waits, running the event loop, up to timeoutSeconds (also each later reconnection's
// limit) for the broker's acceptance. Returns a client handle (> 0); or MQTT_BAD_ARGUMENT,
// MQTT_CANNOT_CONNECT, MQTT_REFUSED, MQTT_NO_EVENT_LOOP or MQTT_FAILED with MqttLastError saying
// why.
int MqttOpen(const struct MqttSettings *settings, double timeoutSeconds);
// Either callback may be nullptr. Returns 0 or MQTT_INVALID_CLIENT.
int MqttSetCallbacks(int client, MqttMessageCallback onMessage, MqttConnectionCallback onConnection,
                     void *data);
// Subscribes now when connected, and again after every reconnection; the same pattern again only
// changes its QoS (0 or 1) and fromOthersOnly (1: what this client publishes itself never comes
// back, MQTT 5 no-local). Returns 0, MQTT_BAD_ARGUMENT, MQTT_INVALID_CLIENT or MQTT_FAILED.
int MqttSubscribe(int client, const char *pattern, int qos, int fromOthersOnly);
// 1 when a message can be published to topic (no wildcards, valid UTF-8, not too long), else 0.
int MqttTopicPublishable(const char *topic);
// Returns 0 once handed to the connection; MQTT_NOT_CONNECTED (nothing kept), MQTT_BUSY,
// MQTT_BAD_ARGUMENT, MQTT_INVALID_CLIENT or MQTT_FAILED.
int MqttPublish(int client, const char *topic, const void *payload, int length, int qos,
                int retain);
// An answer to a request: published with QoS 1 to responseTopic carrying the request's correlation
// data (up to 65535 bytes; nullptr for none). Returns as MqttPublish.
int MqttPublishResponse(int client, const char *responseTopic, const void *correlation,
                        int correlationLength, const void *payload, int length);
// The will of the client's next connections (a reconnection after a loss): length bytes of
// payload to topic. Returns 0, MQTT_BAD_ARGUMENT, MQTT_INVALID_CLIENT or MQTT_FAILED.
int MqttSetWill(int client, const char *topic, const void *payload, int length, int qos,
                int retain);
// 1 while the broker has the client connected; 0 otherwise or for an unknown handle.
int MqttIsConnected(int client);
// Why the client is not connected now (the loss or the latest failed reconnection, naming the
// broker); "" while connected or for an unknown handle.
const char *MqttConnectionCause(int client);
// Waits up to the open's time-out for the broker to take what is pending, disconnects cleanly (the
// broker then drops the will) and frees the client; nothing for an unknown handle.
void MqttClose(int client);
// Why the last failed call failed, in words for the operator.
const char *MqttLastError(void);
