// The station service: one process, a client of the exchange core without a panel, serving every
// port's controller in one loop. The station holds its "online" at the broker (its will says
// "offline"); each port has a connection of its own, its start-up, its live run in the one wait
// that serves them all, and its commands between two of its answers. Unlike the window, a port
// recovers by itself: nobody's unsent edits wait on a panel.
#include "station.h"

#include "command_line.h"
#include "commands.h"
#include "exchange.h"
#include "journal.h"
#include "json.h"
#include "parameter_words.h"
#include "readings.h"
#include "set_files.h"
#include "sparkplug_node.h"
#include "station_requests.h"

#include "datafile.h"
#include "endpoint.h"
#include "inifile.h"
#include "mqtt.h"
#include "panel.h"
#include "serial.h"
#include "utility.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace kelvaro {

namespace {

const char PASSWORD_VARIABLE[] = "KELVARO_MQTT_PASSWORD";
const char MQTT_SCHEME[] = "mqtt://";
const char MQTTS_SCHEME[] = "mqtts://";
const int MQTT_PORT = 1883;
const int MQTTS_PORT = 8883;
const double CONNECT_TIMEOUT_S = 10.0;
const int KEEP_ALIVE_S = 30;
const double FIRST_RETRY_S = 1.0;
const double LAST_RETRY_S = 30.0;
const size_t KEPT_EVENTS = 1000; // events kept while the broker is away
const size_t WAITING_COMMANDS = 16;
// After a command the live run has the line this many times as long as the command took before
// the next command's turn: a flood of requests leaves it two thirds of the line.
const double LIVE_SHARE_AFTER_COMMAND = 2.0;
const int PASSWORD_BYTES = 1024;

struct PortSetting {
    std::string device;
    std::string name; // in the topics: the alias, else the device's name that survives a replug
};

struct Settings {
    std::string brokerUrl;
    std::string host;
    int brokerPort = 0;
    bool tls = false;
    std::string station;
    std::vector<PortSetting> ports;
    double rate = 0;
    bool allowCommands = false, allowFlash = false;
    std::string ca, cert, key, user, password, passwordFile;
    std::string sparkplugGroup, sparkplugHost;
};
Settings settings;

// The station's settings, each its option (checked and shown by the command line) and its key in
// the configuration file; the option wins. One of text, flag and number is set, as the option's
// kind says. The ports, given by --port or as [port NAME] sections, are read apart.
struct StationSetting {
    Option option;
    const char *section;
    const char *key;
    std::string Settings::*text;
    bool Settings::*flag;
    double Settings::*number;
};
const StationSetting STATION_SETTINGS[] = {
    {{"--broker", nullptr, TEXT, "URL",
      "the MQTT broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"},
     "broker",
     "url",
     &Settings::brokerUrl,
     nullptr,
     nullptr},
    {{"--station", nullptr, TEXT, "NAME",
      "the station's name in the topics (default: the host name)"},
     "station",
     "name",
     &Settings::station,
     nullptr,
     nullptr},
    {{"--rate", nullptr, NUMBER_ABOVE_ZERO, "HZ",
      "at most HZ live messages a second for each port"},
     "station",
     "rate",
     nullptr,
     nullptr,
     &Settings::rate},
    {{"--allow-commands", nullptr, NO_VALUE, nullptr, "take commands from the broker"},
     "station",
     "allow-commands",
     nullptr,
     &Settings::allowCommands,
     nullptr},
    {{"--allow-flash", nullptr, NO_VALUE, nullptr, "take flash commands too"},
     "station",
     "allow-flash",
     nullptr,
     &Settings::allowFlash,
     nullptr},
    {{"--ca", nullptr, TEXT, "FILE", "TLS: the CA that signed the broker's certificate"},
     "broker",
     "ca",
     &Settings::ca,
     nullptr,
     nullptr},
    {{"--cert", nullptr, TEXT, "FILE", "TLS: this station's certificate"},
     "broker",
     "cert",
     &Settings::cert,
     nullptr,
     nullptr},
    {{"--key", nullptr, TEXT, "FILE", "TLS: its key"},
     "broker",
     "key",
     &Settings::key,
     nullptr,
     nullptr},
    {{"--user", nullptr, TEXT, "NAME", "the user name at the broker"},
     "broker",
     "user",
     &Settings::user,
     nullptr,
     nullptr},
    {{"--sparkplug", nullptr, TEXT, "GROUP",
      "also a Sparkplug B edge node in GROUP: the station its node, each port a device"},
     "station",
     "sparkplug",
     &Settings::sparkplugGroup,
     nullptr,
     nullptr},
    {{"--sparkplug-host", nullptr, TEXT, "ID",
      "Sparkplug births only while the primary host ID is online"},
     "station",
     "sparkplug-host",
     &Settings::sparkplugHost,
     nullptr,
     nullptr},
    {{"--password-file", nullptr, TEXT, "FILE",
      "the user's password from FILE (else $KELVARO_MQTT_PASSWORD; never an option)"},
     "broker",
     "password-file",
     &Settings::passwordFile,
     nullptr,
     nullptr},
};

// ---- Settings: the configuration file, then the command line over it.

std::string TopicSafe(std::string name) {
    for (char &c : name)
        if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) <= ' ')
            c = '_';
    return name;
}

bool IsTrue(const std::string &value, bool *flag) {
    if (value == "true" || value == "yes" || value == "1")
        *flag = true;
    else if (value == "false" || value == "no" || value == "0")
        *flag = false;
    else
        return false;
    return true;
}

int ConfigEntry(const char *section, const char *key, const char *value, int line, void *data) {
    auto *config = static_cast<std::string *>(data); // the file's name, then why it is wrong
    const std::string s = section, k = key, v = value;
    bool known = false;
    for (const StationSetting &setting : STATION_SETTINGS) {
        if (s != setting.section || k != setting.key)
            continue;
        if (setting.text)
            settings.*setting.text = v;
        known = setting.text || (setting.flag && IsTrue(v, &(settings.*setting.flag))) ||
                (setting.number && IsNumberAboveZero(v, &(settings.*setting.number)));
    }
    if (s.rfind("port ", 0) == 0 && k == "device") {
        settings.ports.push_back({v, TopicSafe(s.substr(5))});
        known = true;
    }
    if (known)
        return 0;
    *config += " line " + std::to_string(line) + ": \"" + k + " = " + v +
               "\" is not a setting of [" + s + "] or not a value it takes";
    return 1;
}

// "" or why the broker's URL is wrong.
std::string ReadBrokerUrl(const std::string &url) {
    Endpoint broker;
    const bool tls = ReadEndpoint(url, MQTTS_SCHEME, MQTTS_PORT, &broker);
    if (!tls && !ReadEndpoint(url, MQTT_SCHEME, MQTT_PORT, &broker))
        return "the broker \"" + url + "\" is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    settings.host = broker.host;
    settings.brokerPort = broker.port;
    settings.tls = tls;
    return "";
}

bool IsLoopback(const std::string &host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// Reads the settings; "" or why they can't serve (the command's usage error).
std::string ReadSettings(void) {
    settings = Settings{};
    if (const char *config = OptionValue("--config")) {
        std::string why = config;
        const int read = ReadIniFile(config, ConfigEntry, &why);
        if (read < 0)
            return GetIniFileError();
        if (read > 0)
            return why;
    }
    for (const StationSetting &setting : STATION_SETTINGS) {
        const char *option = setting.option.name;
        if (setting.text && OptionValue(option))
            settings.*setting.text = OptionValue(option);
        if (setting.flag)
            settings.*setting.flag |= OptionGiven(option);
        if (setting.number)
            settings.*setting.number = OptionNumber(option, settings.*setting.number);
    }
    if (OptionGiven("--port")) {
        settings.ports.clear();
        for (const std::string &device : OptionValues("--port")) {
            char name[MAX_PATHNAME_LEN];
            GetComStableName(device.c_str(), name, sizeof name);
            settings.ports.push_back({device, TopicSafe(name)});
        }
    }
    // Two ports of one name would share their topics; one device twice, its line.
    for (size_t i = 0; i < settings.ports.size(); ++i)
        for (size_t j = 0; j < i; ++j) {
            const PortSetting &first = settings.ports[j], &again = settings.ports[i];
            if (again.name == first.name)
                return "two ports are named " + again.name + " (" + first.device + " and " +
                       again.device + "): give each a [port NAME] of its own";
            if (again.device == first.device)
                return "the device " + again.device + " is given twice (ports " + first.name +
                       " and " + again.name + ")";
        }
    if (settings.station.empty()) {
        char host[MAX_PATHNAME_LEN] = "";
        GetHostName(host, sizeof host);
        settings.station = host;
    }
    settings.station = TopicSafe(settings.station);
    if (settings.brokerUrl.empty())
        return "a broker is needed: --broker URL, or url in [broker] of --config FILE";
    const std::string wrong = ReadBrokerUrl(settings.brokerUrl);
    if (!wrong.empty())
        return wrong;
    if (settings.ports.empty())
        return "a port is needed: --port DEVICE, or a [port NAME] with device = … in --config";
    if (!settings.tls && !(settings.ca + settings.cert + settings.key).empty())
        return "--ca, --cert and --key are for mqtts:// brokers";
    if (settings.cert.empty() != settings.key.empty())
        return "--cert and --key go together";
    if (!settings.passwordFile.empty()) {
        char password[PASSWORD_BYTES];
        if (ReadTextFile(settings.passwordFile.c_str(), password, sizeof password) < 0)
            return std::string("the password file: ") + GetDataFileError();
        settings.password = std::string(password, std::strcspn(password, "\r\n"));
    } else if (const char *password = std::getenv(PASSWORD_VARIABLE)) {
        settings.password = password;
    }
    if (!settings.password.empty() && settings.user.empty())
        return "a password needs a user: --user NAME";
    return "";
}

// Connects a client of the station to the broker, with the will given (retained or not). Returns
// the handle, or a negative MqttError with MqttLastError saying why.
int OpenClient(const std::string &clientId, const std::string &willTopic, const std::string &will,
               bool retainWill = true) {
    MqttSettings mqtt{};
    mqtt.host = settings.host.c_str();
    mqtt.port = settings.brokerPort;
    mqtt.tls = settings.tls;
    mqtt.caFile = settings.ca.empty() ? nullptr : settings.ca.c_str();
    mqtt.certFile = settings.cert.empty() ? nullptr : settings.cert.c_str();
    mqtt.keyFile = settings.key.empty() ? nullptr : settings.key.c_str();
    mqtt.user = settings.user.empty() ? nullptr : settings.user.c_str();
    mqtt.password = settings.password.empty() ? nullptr : settings.password.c_str();
    mqtt.clientId = clientId.c_str();
    mqtt.keepAliveSeconds = KEEP_ALIVE_S;
    mqtt.willTopic = willTopic.c_str();
    mqtt.willPayload = will.data();
    mqtt.willLength = int(will.size());
    mqtt.willQos = MQTT_QOS_AT_LEAST_ONCE;
    mqtt.willRetain = retainWill ? 1 : 0;
    // The broker drops a request far over the bound before it reaches the station.
    mqtt.maxPacketBytes = int(2 * MAX_REQUEST_BYTES);
    return MqttOpen(&mqtt, CONNECT_TIMEOUT_S);
}

// Every station's tree lies under it: requests, states and events.
const char TOPIC_ROOT[] = "kelvaro/";

std::string StationTopic(void) {
    return TOPIC_ROOT + settings.station;
}

int Publish(int client, const std::string &topic, const std::string &payload, int qos,
            bool retain) {
    return MqttPublish(client, topic.c_str(), payload.data(), int(payload.size()), qos, retain);
}

// Sleeps in the event loop until deadline, or until a stop signal.
void WaitUntil(double deadline) {
    while (!UserInterfaceQuitting() && Timer() < deadline)
        ProcessSystemEventsUntil(deadline);
}

// ---- The station: its own place at the broker, and one service for each port.

std::string PortTopic(const std::string &port) {
    return StationTopic() + "/" + port;
}

std::string PortState(const char *state, const std::string &device) {
    return JsonObject().add("state", state).add("device", device).add("time", UtcTimeNow()).text();
}

int stationClient = 0;

void StationConnection(int, int connected, const char *cause, void *) {
    if (connected && !*cause)
        Publish(stationClient, StationTopic() + "/state", "online", MQTT_QOS_AT_LEAST_ONCE, true);
    else if (connected)
        std::fprintf(stderr, "kelvaro: %s\n", cause);
    else
        std::fprintf(stderr, "kelvaro: %s; trying again\n", cause);
}

struct WaitingCommand {
    StationRequest request;
    std::string responseTopic;
    std::string correlation;
    std::string requester; // its user property "user", else its response topic
};

struct Retained {
    std::string state, info, ram, eeprom;
};

// One port's controller: its line, its own connection to the broker, what it keeps for the
// broker, the commands that wait for their turn, and when it is tried again.
struct PortService {
    PortSetting setting;
    int port = 0; // the number its device has
    int client = 0;
    std::string topic; // kelvaro/STATION/PORT
    Retained retained;
    std::deque<std::string> keptEvents;
    unsigned long droppedEvents = 0;
    std::deque<WaitingCommand> waiting;
    Words ramSet{};        // the RAM's set as last read or written: what the live requests carry
    Indicators indicators; // the REF and TOL indicators' thresholds, from one answer to the next
    double lastLive = -1e9;
    unsigned long droppedAnswers = 0;
    double lastDropSaid = -1e9;
    enum Stage { IDLE, CHECKING, LIVE } stage = IDLE;
    std::string downWhy;
    // "lost" or "no answer" while it is down (it went down or never came up), as last published;
    // "" while it is up.
    std::string downState;
    double retry = FIRST_RETRY_S;
    double due = 0; // when to try it
    double runStarted = 0;
    double commandsFrom = 0; // when the next waiting command may take its turn
};
std::vector<std::unique_ptr<PortService>> services;
LiveRuns runs;

const double DROP_NOTE_INTERVAL_S = 10.0;

// A line on standard error, naming the port.
void Note(const PortService &service, const std::string &text) {
    std::fprintf(stderr, "%s: %s\n", service.setting.name.c_str(), text.c_str());
}

// The station's words for an outcome: a device that is gone is tried again.
std::string Said(const Outcome &outcome) {
    return outcome.code == OUTCOME_DEVICE_GONE ? outcome.shown() + " - the station tries again"
                                               : outcome.shown();
}

void PublishRetained(PortService &service, const char *suffix, const std::string &payload,
                     std::string *kept) {
    *kept = payload;
    Publish(service.client, service.topic + "/" + suffix, payload, MQTT_QOS_AT_LEAST_ONCE, true);
}

void PublishState(PortService &service, const char *state) {
    PublishRetained(service, "state", PortState(state, service.setting.device),
                    &service.retained.state);
}

// {"words": […], "time": …, and each word by its name}
std::string ParameterSetJson(const unsigned short *words) {
    JsonObject set;
    AddParameterSet(set, words);
    return set.add("time", UtcTimeNow()).text();
}

void PublishParameters(PortService &service, int target, const unsigned short *words) {
    SparkplugParameters(service.setting.name, target, words);
    PublishRetained(service, target == EEPROM ? "parameters/eeprom" : "parameters/ram",
                    ParameterSetJson(words),
                    target == EEPROM ? &service.retained.eeprom : &service.retained.ram);
}

// Events wait while the broker is away, up to KEPT_EVENTS; the oldest go first.
void SendEvent(PortService &service, const std::string &event) {
    if (Publish(service.client, service.topic + "/event", event, MQTT_QOS_AT_LEAST_ONCE, false) ==
        0)
        return;
    service.keptEvents.push_back(event);
    if (service.keptEvents.size() > KEPT_EVENTS) {
        service.keptEvents.pop_front();
        ++service.droppedEvents;
    }
}

// An event with how it ended: ok, the result as the status line says it, and its cause.
void PublishEvent(PortService &service, const char *event, const Outcome &outcome,
                  const char *target = nullptr) {
    JsonObject payload;
    payload.add("event", event).add("ok", outcome.ok()).add("result", Said(outcome));
    if (!outcome.cause.empty())
        payload.add("cause", outcome.cause);
    if (target)
        payload.add("target", target);
    SendEvent(service, payload.add("time", UtcTimeNow()).text());
}

// What a reconnection owes the broker: the retained state, then the events kept meanwhile.
void PortConnection(int, int connected, const char *cause, void *data) {
    PortService &service = *static_cast<PortService *>(data);
    if (!connected) {
        Note(service, std::string(cause) + "; the live run goes on, events are kept");
        return;
    }
    // A message or subscription the broker refused (its access rules): nothing of it arrives.
    if (*cause) {
        Note(service, cause);
        return;
    }
    const Retained &kept = service.retained;
    for (const auto &[suffix, payload] :
         {std::pair<const char *, const std::string &>{"state", kept.state},
          {"info", kept.info},
          {"parameters/ram", kept.ram},
          {"parameters/eeprom", kept.eeprom}})
        if (!payload.empty())
            Publish(service.client, service.topic + "/" + suffix, payload, MQTT_QOS_AT_LEAST_ONCE,
                    true);
    std::deque<std::string> events;
    events.swap(service.keptEvents);
    for (const std::string &event : events)
        SendEvent(service, event);
    if (service.droppedEvents > 0)
        Note(service, std::to_string(service.droppedEvents) +
                          " events were dropped while the broker was away");
    service.droppedEvents = 0;
}

void Answer(PortService &service, const WaitingCommand &command, const std::string &answer) {
    if (command.responseTopic.empty()) {
        // A Sparkplug host's write has nobody to answer: what went wrong is said here.
        if (command.request.command == COMMAND_CHANGE && answer.rfind("{\"ok\":false", 0) == 0)
            Note(service, "a Sparkplug write: " + answer);
        return;
    }
    MqttPublishResponse(service.client, command.responseTopic.c_str(), command.correlation.data(),
                        int(command.correlation.size()), answer.data(), int(answer.size()));
}

void CommandMessage(int, const MqttMessage *message, void *data) {
    PortService &service = *static_cast<PortService *>(data);
    const std::string name = std::strrchr(message->topic, '/') + 1;
    WaitingCommand command;
    command.responseTopic = message->responseTopic ? message->responseTopic : "";
    command.requester = message->user ? message->user : command.responseTopic;
    const std::string misdirected = ResponseTopicRefusal(command.responseTopic, TOPIC_ROOT);
    if (!misdirected.empty()) {
        Note(service, "a request on command/" + Excerpt(name) + " refused: " + misdirected +
                          "; nothing was sent");
        return;
    }
    if (message->correlation)
        command.correlation.assign(static_cast<const char *>(message->correlation),
                                   size_t(message->correlationLength));
    std::string error;
    if (!ReadStationRequest(
            name, std::string(static_cast<const char *>(message->payload), size_t(message->length)),
            {settings.allowCommands, settings.allowFlash}, &command.request, &error))
        Answer(service, command, StationRefusal(error));
    else if (service.waiting.size() >= WAITING_COMMANDS)
        Answer(service, command,
               StationRefusal("busy: " + std::to_string(service.waiting.size()) +
                              " commands wait for their turn"));
    else
        service.waiting.push_back(command);
}

Words WordsOf(const Outcome &set) {
    Words words{};
    std::copy_n(set.words.begin(), std::min(set.words.size(), words.size()), words.begin());
    return words;
}

// Reads the set of target and publishes it; the journal notes it as what a write there replaces.
Outcome ReadAndPublish(PortService &service, int target) {
    const Outcome set = ReadSet(target, service.ramSet, GET_TEXTS, nullptr);
    if (!set.ok())
        return set;
    JournalSetRead(target, set.words.data());
    if (target == RAM)
        service.ramSet = WordsOf(set);
    PublishParameters(service, target, set.words.data());
    return set;
}

// Runs one command on the port's line, the current one. Returns its answer.
std::string Execute(PortService &service, const WaitingCommand &command) {
    const StationRequest &request = command.request;
    const JournalOrigin origin{settings.station, service.setting.name, "mqtt", command.requester,
                               settings.user};
    const char *targetName = request.target == EEPROM ? "eeprom" : "ram";
    switch (request.command) {
    case COMMAND_GET: {
        const Outcome set = ReadAndPublish(service, request.target);
        if (!set.ok())
            return StationRefusal(Said(set));
        return JsonObject()
            .add("ok", true)
            .addRaw("words", ParameterWordsJson(set.words.data()))
            .text();
    }
    case COMMAND_SEND:
    case COMMAND_CHANGE: {
        const bool change = request.command == COMMAND_CHANGE;
        Words words{};
        if (change) {
            // A Sparkplug host's write: the words it names over the set the controller holds.
            const Outcome set = ReadAndPublish(service, request.target);
            if (!set.ok()) {
                PublishEvent(service, "send", set, targetName);
                return StationRefusal(Said(set));
            }
            words = WordsOf(set);
            for (size_t i = 0; i < words.size(); ++i)
                if (request.changes[i] >= 0)
                    words[i] = static_cast<unsigned short>(request.changes[i]);
        } else {
            std::copy_n(request.words.begin(), PNUM, words.begin());
        }
        const Outcome sent = JournaledWrite(
            {JOURNAL_SEND, request.target, words.data(), ""},
            [&request, &words] { return WriteSet(request.target, words, nullptr); }, &origin);
        PublishEvent(service, "send", sent, targetName);
        if (!sent.ok())
            return StationRefusal(Said(sent));
        // The set sent is the program's set from now on, as the window's Send makes it; a host's
        // change of the EEPROM leaves the RAM's set as it is.
        if (!change || request.target == RAM)
            service.ramSet = words;
        PublishParameters(service, request.target, words.data());
        return JsonObject().add("ok", true).text();
    }
    case COMMAND_TEACH:
    case COMMAND_RESET: {
        const bool teach = request.command == COMMAND_TEACH;
        const int code = teach ? ORDER_TEACH : ORDER_RESET;
        const Words image = service.ramSet;
        const Outcome done = JournaledWrite(
            {teach ? JOURNAL_TEACH : JOURNAL_RESET, RAM, image.data(), ""},
            [code, &image] { return TeachOrReset(code, image, nullptr); }, &origin);
        PublishEvent(service, teach ? "teach" : "reset", done);
        if (!done.ok())
            return StationRefusal(Said(done));
        service.ramSet = WordsOf(done);
        PublishParameters(service, RAM, service.ramSet.data());
        return JsonObject()
            .add("ok", true)
            .addRaw("words", ParameterWordsJson(service.ramSet.data()))
            .text();
    }
    case COMMAND_CAPTURE: {
        Outcome live;
        const Outcome captured = Capture(request.source, service.ramSet, &live, nullptr);
        if (!captured.ok())
            return StationRefusal(Said(captured));
        JsonObject answer;
        AddCurve(answer.add("ok", true), CurveOf(request.source, captured.words, service.ramSet));
        return answer.text();
    }
    case COMMAND_FLASH: {
        // Each port's files of its last flash, in the working folder: the correction file as
        // the request carried it, and the table built from it.
        static int table[CORRECTION_KEYS];
        std::string why;
        char tablePath[MAX_PATHNAME_LEN], correctionPath[MAX_PATHNAME_LEN];
        const std::string prefix = "station-" + service.setting.name;
        GetFullPathFromProject((prefix + "-LTlinear.dat").c_str(), tablePath);
        GetFullPathFromProject((prefix + "-table.dat").c_str(), correctionPath);
        if (!WriteCorrectionFile(correctionPath, request.columns.data(), &why) ||
            !BuildCorrectionTable(request.columns.data(), table, tablePath, &why))
            return StationRefusal(why);
        const Outcome flashed = JournaledWrite(
            {JOURNAL_FLASH, 0, nullptr, TableDigest(table)}, [] { return FlashTable(table, {}); },
            &origin);
        PublishEvent(service, "flash", flashed);
        return flashed.ok() ? JsonObject().add("ok", true).text() : StationRefusal(Said(flashed));
    }
    }
    return StationRefusal("unknown command");
}

// One waiting command takes its turn on the line, between two live answers.
void RunWaitingCommand(PortService &service) {
    if (service.waiting.empty())
        return;
    const WaitingCommand command = service.waiting.front();
    service.waiting.pop_front();
    const double started = Timer();
    Answer(service, command, Execute(service, command));
    service.commandsFrom = Timer() + LIVE_SHARE_AFTER_COMMAND * (Timer() - started);
}

void RefuseWaitingCommands(PortService &service, const std::string &why) {
    while (!service.waiting.empty()) {
        Answer(service, service.waiting.front(),
               StationRefusal("the controller does not answer now: " + why));
        service.waiting.pop_front();
    }
}

// Each live answer: its message, at most --rate a second, with the time it came. An answer not
// taken is counted and noted now and then.
void LiveAnswer(PortService &service, const Outcome &answer, double secondsIntoRun) {
    if (!answer.ok()) {
        ++service.droppedAnswers;
        if (Timer() - service.lastDropSaid >= DROP_NOTE_INTERVAL_S) {
            service.lastDropSaid = Timer();
            Note(service,
                 Said(answer) + "; " + std::to_string(service.droppedAnswers) + " answers dropped");
        }
        return;
    }
    const LiveSample sample = SampleOf(answer.words, service.indicators, service.ramSet);
    const double answered = service.runStarted + secondsIntoRun;
    if (settings.rate > 0 && answered - service.lastLive < 1.0 / settings.rate)
        return;
    service.lastLive = answered;
    SparkplugLive(service.setting.name, sample, answered);
    if (MqttIsConnected(service.client)) {
        JsonObject live;
        AddLiveValues(live.add("time", UtcTimeOf(answered)), sample);
        Publish(service.client, service.topic + "/live", live.text(), MQTT_QOS_AT_MOST_ONCE, false);
    }
}

// The port went down, or did not come up: said once for each change (lost, no answer), its
// state and event published then, and tried again later.
void PortDown(PortService &service, const Outcome &why) {
    SelectLine(service.port);
    CloseLine();
    const bool lost = why.code == OUTCOME_DEVICE_GONE || why.code == OUTCOME_NO_PORT;
    const char *state = lost ? "lost" : "no answer";
    service.downWhy = Said(why);
    SparkplugDeviceDown(service.setting.name);
    if (service.downState != state) {
        Note(service, service.downWhy);
        PublishEvent(service, state, why);
        PublishState(service, state);
        service.downState = state;
    }
    service.stage = PortService::IDLE;
    service.due = Timer() + service.retry;
    service.retry = std::min(service.retry * 2, LAST_RETRY_S);
}

// The port's line checked without holding up the others; the start-up follows once it answers.
void TryPort(PortService &service) {
    const Outcome opened = OpenLine(service.port);
    const Outcome checking = opened.ok() ? runs.probe(service.port, DefaultSet()) : opened;
    if (checking.ok())
        service.stage = PortService::CHECKING;
    else
        PortDown(service, checking);
}

// The line answered its check: the rest of the start-up, then the live run.
void StartPort(PortService &service) {
    const Words defaults = DefaultSet();
    SelectLine(service.port);
    const Outcome started = ReadStartUpSet(defaults, nullptr);
    if (!started.ok()) {
        PortDown(service, started);
        return;
    }
    if (!service.downState.empty())
        PublishEvent(service, "back", started);
    service.downState.clear();
    service.retry = FIRST_RETRY_S;
    service.ramSet = WordsOf(started);
    service.indicators = StartingIndicators(defaults[WORD_REFERENCE], defaults[WORD_TOLERANCE]);
    JournalSetRead(RAM, service.ramSet.data());
    PublishState(service, "online");
    PublishRetained(
        service, "info",
        JsonObject().add("firmware", LineFirmware()).add("device", service.setting.device).text(),
        &service.retained.info);
    PublishParameters(service, RAM, service.ramSet.data());
    ReadAndPublish(service, EEPROM);
    SparkplugDeviceUp(service.setting.name, LineFirmware());
    PortService *served = &service;
    LiveRun run;
    run.image = [served] { return served->ramSet; };
    run.answer = [served](const Outcome &answer, double seconds) {
        LiveAnswer(*served, answer, seconds);
    };
    run.commandsWaiting = [served] {
        return !served->waiting.empty() && Timer() >= served->commandsFrom;
    };
    run.between = [served] { RunWaitingCommand(*served); };
    run.stopped = [] { return UserInterfaceQuitting() != 0; };
    service.runStarted = Timer();
    const Outcome live = runs.start(service.port, run);
    if (!live.ok()) {
        PortDown(service, live);
        return;
    }
    service.stage = PortService::LIVE;
}

PortService *ServiceOf(int port) {
    for (const std::unique_ptr<PortService> &service : services)
        if (service->port == port)
            return service.get();
    return nullptr;
}

// A host's write waits for its turn on the port's line as a command does; it has nobody to answer.
void QueueSparkplugWrite(const SparkplugWrite &write) {
    for (const std::unique_ptr<PortService> &service : services) {
        if (service->setting.name != write.device)
            continue;
        WaitingCommand command;
        command.request.command = COMMAND_CHANGE;
        command.request.target = write.target;
        command.request.changes.assign(write.values.begin(), write.values.end());
        command.requester = write.requester;
        if (service->waiting.size() >= WAITING_COMMANDS)
            Note(*service,
                 "a Sparkplug write refused: busy: " + std::to_string(service->waiting.size()) +
                     " commands wait for their turn");
        else
            service->waiting.push_back(command);
    }
}

std::string StartSparkplug(void) {
    SparkplugNodeSettings node;
    node.group = TopicSafe(settings.sparkplugGroup);
    node.node = settings.station;
    node.hostId = settings.sparkplugHost;
    node.allowCommands = settings.allowCommands;
    char path[MAX_PATHNAME_LEN];
    GetFullPathFromProject(("station-" + settings.station + "-sparkplug-bdseq").c_str(), path);
    node.bdSeqFile = path;
    for (const PortSetting &port : settings.ports)
        node.devices.emplace_back(port.name, port.device);
    // Nothing of Sparkplug is retained, its death neither.
    const auto open = [](const std::string &clientId, const std::string &willTopic,
                         const std::string &will) {
        return OpenClient(clientId, willTopic, will, false);
    };
    return StartSparkplugNode(node, open, QueueSparkplugWrite);
}

int RunPorts(void) {
    if (!settings.password.empty() && !settings.tls && !IsLoopback(settings.host))
        std::fprintf(stderr,
                     "kelvaro: warning: the password goes to %s in plain text: use mqtts://\n",
                     settings.host.c_str());
    stationClient = OpenClient("kelvaro-" + settings.station, StationTopic() + "/state", "offline");
    if (stationClient < 0) {
        std::fprintf(stderr, "kelvaro: %s\n", MqttLastError());
        return EXIT_NO_PORT;
    }
    MqttSetCallbacks(stationClient, nullptr, StationConnection, nullptr);
    Publish(stationClient, StationTopic() + "/state", "online", MQTT_QOS_AT_LEAST_ONCE, true);
    for (const PortSetting &setting : settings.ports) {
        auto service = std::make_unique<PortService>();
        service->setting = setting;
        service->port = GetComPortOfDevice(setting.device.c_str());
        service->topic = PortTopic(setting.name);
        // The broker says so for the port when the station ends without a word: its state
        // stays true whatever ends the station.
        const std::string will =
            JsonObject().add("state", "offline").add("device", setting.device).text();
        service->client = OpenClient("kelvaro-" + settings.station + "-" + setting.name,
                                     service->topic + "/state", will);
        if (service->client < 0) {
            Note(*service, MqttLastError());
            return EXIT_NO_PORT;
        }
        MqttSetCallbacks(service->client, CommandMessage, PortConnection, service.get());
        MqttSubscribe(service->client, (service->topic + "/command/+").c_str(),
                      MQTT_QOS_AT_LEAST_ONCE, 1);
        services.push_back(std::move(service));
    }
    if (!settings.sparkplugGroup.empty()) {
        const std::string why = StartSparkplug();
        if (!why.empty()) {
            std::fprintf(stderr, "kelvaro: sparkplug: %s\n", why.c_str());
            return EXIT_NO_PORT;
        }
    }
    while (!UserInterfaceQuitting()) {
        double next = Timer() + LAST_RETRY_S;
        for (const std::unique_ptr<PortService> &service : services) {
            if (service->stage == PortService::IDLE && service->due <= Timer())
                TryPort(*service);
            if (service->stage == PortService::IDLE) {
                next = std::min(next, service->due);
                RefuseWaitingCommands(*service, service->downWhy);
            }
        }
        std::vector<std::pair<int, Outcome>> ended;
        if (runs.running())
            ended = runs.step(next);
        else
            WaitUntil(next);
        for (const auto &[port, outcome] : ended) {
            PortService &service = *ServiceOf(port);
            if (service.stage == PortService::CHECKING && outcome.ok())
                StartPort(service);
            else if (outcome.code != OUTCOME_STOPPED)
                PortDown(service, outcome);
        }
    }
    StopSparkplugNode();
    for (const std::unique_ptr<PortService> &service : services) {
        SelectLine(service->port);
        CloseLine();
        RefuseWaitingCommands(*service, "the station stops");
        PublishState(*service, "offline");
        MqttClose(service->client);
    }
    Publish(stationClient, StationTopic() + "/state", "offline", MQTT_QOS_AT_LEAST_ONCE, true);
    MqttClose(stationClient);
    return EXIT_DONE;
}

} // namespace

const std::vector<Option> &StationOptions(void) {
    static const std::vector<Option> options = [] {
        std::vector<Option> all;
        for (const StationSetting &setting : STATION_SETTINGS)
            all.push_back(setting.option);
        return all;
    }();
    return options;
}

const char *StationOptionList(void) {
    static const std::string list = [] {
        std::string all = "--port+ --config";
        for (const StationSetting &setting : STATION_SETTINGS)
            all += std::string(" ") + setting.option.name;
        return all;
    }();
    return list.c_str();
}

int RunStation(HINSTANCE) {
    const std::string wrong = ReadSettings();
    if (!wrong.empty()) {
        std::fprintf(stderr, "kelvaro: serve: %s\n", wrong.c_str());
        return EXIT_USAGE;
    }
    return RunPorts();
}

} // namespace kelvaro
