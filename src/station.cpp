// The station service. Each port is served by a worker process of its own, the program itself
// started again, a client of the exchange core without a panel; the supervisor keeps the station's
// "online" at the broker (its will says "offline"), starts the workers, starts one again when it
// ends, and stops them all on a stop signal. Unlike the window, a worker reconnects by itself:
// nobody's unsent edits wait on a panel.
#include "station.h"

#include "command_line.h"
#include "commands.h"
#include "exchange.h"
#include "journal.h"
#include "json.h"
#include "parameter_words.h"
#include "readings.h"
#include "set_files.h"
#include "station_requests.h"

#include "children.h"
#include "datafile.h"
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

const char WORKER_VARIABLE[] = "KELVARO_STATION_WORKER";
const char PASSWORD_VARIABLE[] = "KELVARO_MQTT_PASSWORD";
const char MQTT_SCHEME[] = "mqtt://";
const char MQTTS_SCHEME[] = "mqtts://";
const int MQTT_PORT = 1883;
const int MQTTS_PORT = 8883;
const double CONNECT_TIMEOUT_S = 10.0;
const int KEEP_ALIVE_S = 30;
const double FIRST_RETRY_S = 1.0;
const double LAST_RETRY_S = 30.0;
const double WORKER_STOP_S = 5.0;
const double STEADY_WORKER_S = 60.0; // a worker that ran this long starts again at once
const size_t KEPT_EVENTS = 1000;     // events kept while the broker is away
const size_t WAITING_COMMANDS = 16;
const int QOS_AT_MOST_ONCE = 0;
const int QOS_AT_LEAST_ONCE = 1;
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
    StationPermissions allowed;
    std::string ca, cert, key, user, password, passwordFile;
};
Settings settings;

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
    bool known = true;
    if (s == "broker" && k == "url")
        settings.brokerUrl = v;
    else if (s == "broker" && k == "ca")
        settings.ca = v;
    else if (s == "broker" && k == "cert")
        settings.cert = v;
    else if (s == "broker" && k == "key")
        settings.key = v;
    else if (s == "broker" && k == "user")
        settings.user = v;
    else if (s == "broker" && k == "password-file")
        settings.passwordFile = v;
    else if (s == "station" && k == "name")
        settings.station = v;
    else if (s == "station" && k == "rate")
        known = IsNumberAboveZero(v, &settings.rate);
    else if (s == "station" && k == "allow-commands")
        known = IsTrue(v, &settings.allowed.commands);
    else if (s == "station" && k == "allow-flash")
        known = IsTrue(v, &settings.allowed.flash);
    else if (s.rfind("port ", 0) == 0 && k == "device")
        settings.ports.push_back({v, TopicSafe(s.substr(5))});
    else
        known = false;
    if (known)
        return 0;
    *config += " line " + std::to_string(line) + ": \"" + k + " = " + v +
               "\" is not a setting of [" + s + "] or not a value it takes";
    return 1;
}

// "" or why the broker's URL is wrong.
std::string ReadBrokerUrl(const std::string &url) {
    const bool tls = url.rfind(MQTTS_SCHEME, 0) == 0;
    if (!tls && url.rfind(MQTT_SCHEME, 0) != 0)
        return "the broker \"" + url + "\" is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    std::string rest = url.substr(std::strlen(tls ? MQTTS_SCHEME : MQTT_SCHEME));
    int port = tls ? MQTTS_PORT : MQTT_PORT;
    std::string host = rest;
    const size_t close = rest.find(']');
    const size_t colon = rest.rfind(':');
    if (!rest.empty() && rest[0] == '[' && close != std::string::npos) {
        host = rest.substr(1, close - 1);
        if (close + 1 < rest.size())
            port = rest[close + 1] == ':' ? std::atoi(rest.c_str() + close + 2) : -1;
    } else if (colon != std::string::npos) {
        host = rest.substr(0, colon);
        port = std::atoi(rest.c_str() + colon + 1);
    }
    if (host.empty() || port < 1 || port > 65535)
        return "the broker \"" + url + "\" is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    settings.host = host;
    settings.brokerPort = port;
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
    const auto take = [](const char *option, std::string *value) {
        if (const char *given = OptionValue(option))
            *value = given;
    };
    take("--broker", &settings.brokerUrl);
    take("--station", &settings.station);
    take("--ca", &settings.ca);
    take("--cert", &settings.cert);
    take("--key", &settings.key);
    take("--user", &settings.user);
    take("--password-file", &settings.passwordFile);
    settings.rate = OptionNumber("--rate", settings.rate);
    settings.allowed.commands |= OptionGiven("--allow-commands");
    settings.allowed.flash |= OptionGiven("--allow-flash");
    if (OptionGiven("--port")) {
        settings.ports.clear();
        for (const std::string &device : OptionValues("--port")) {
            char name[MAX_PATHNAME_LEN];
            GetComStableName(device.c_str(), name, sizeof name);
            settings.ports.push_back({device, TopicSafe(name)});
        }
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

// Connects a client of the station to the broker, with the will given. Returns the handle, or a
// negative MqttError with MqttLastError saying why.
int OpenClient(const std::string &clientId, const std::string &willTopic, const char *will) {
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
    mqtt.willTopic = will ? willTopic.c_str() : nullptr;
    mqtt.willPayload = will;
    mqtt.willQos = QOS_AT_LEAST_ONCE;
    mqtt.willRetain = 1;
    return MqttOpen(&mqtt, CONNECT_TIMEOUT_S);
}

std::string StationTopic(void) {
    return "kelvaro/" + settings.station;
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

// ---- The supervisor.

struct Worker {
    PortSetting port;
    int child = 0;
    double started = 0;
    double retry = FIRST_RETRY_S;
    double due = 0; // when to start it again; 0 while it runs, and after wrong settings
};
std::vector<Worker> workers;
int stationClient = 0;
bool stopping = false;

std::string PortTopic(const std::string &port) {
    return StationTopic() + "/" + port;
}

std::string PortState(const char *state, const std::string &device) {
    return JsonObject().add("state", state).add("device", device).add("time", UtcTimeNow()).text();
}

void StationConnection(int, int connected, const char *cause, void *) {
    if (connected && !*cause)
        Publish(stationClient, StationTopic() + "/state", "online", QOS_AT_LEAST_ONCE, true);
    else if (!connected)
        std::fprintf(stderr, "kelvaro: %s; trying again\n", cause);
}

void StartWorker(Worker &worker) {
    char program[MAX_PATHNAME_LEN];
    GetProgramDir(program);
    const std::string path = std::string(program) + "/kelvaro";
    std::vector<std::string> words = {"serve",          "--broker", settings.brokerUrl, "--station",
                                      settings.station, "--port",   worker.port.device};
    if (settings.rate > 0)
        words.insert(words.end(), {"--rate", std::to_string(settings.rate)});
    if (settings.allowed.commands)
        words.push_back("--allow-commands");
    if (settings.allowed.flash)
        words.push_back("--allow-flash");
    for (const auto &[option, value] :
         {std::pair<const char *, const std::string &>{"--ca", settings.ca},
          {"--cert", settings.cert},
          {"--key", settings.key},
          {"--user", settings.user}})
        if (!value.empty())
            words.insert(words.end(), {option, value});
    // The password reaches the worker in its environment, which no other user can read.
    std::vector<std::string> environment = {std::string(WORKER_VARIABLE) + "=" + worker.port.name,
                                            std::string(PASSWORD_VARIABLE) + "=" +
                                                settings.password};
    std::vector<const char *> arguments;
    for (const std::string &word : words)
        arguments.push_back(word.c_str());
    arguments.push_back(nullptr);
    std::vector<const char *> entries;
    for (const std::string &entry : environment)
        entries.push_back(entry.c_str());
    entries.push_back(nullptr);
    worker.due = 0;
    worker.started = Timer();
    worker.child = StartChild(
        path.c_str(), arguments.data(), entries.data(),
        [](int child, int exitCode, void *) {
            for (Worker &ended : workers) {
                if (ended.child != child || stopping)
                    continue;
                ended.child = 0;
                if (Timer() - ended.started > STEADY_WORKER_S)
                    ended.retry = FIRST_RETRY_S;
                // Ended on wrong settings: starting it again would not help.
                const bool givenUp = exitCode == EXIT_USAGE;
                std::fprintf(
                    stderr, "kelvaro: the worker of %s ended (%d)%s\n", ended.port.name.c_str(),
                    exitCode,
                    givenUp ? ""
                            : ("; again in " + std::to_string(int(ended.retry)) + " s").c_str());
                Publish(stationClient, PortTopic(ended.port.name) + "/state",
                        PortState("lost", ended.port.device), QOS_AT_LEAST_ONCE, true);
                ended.due = givenUp ? 0 : Timer() + ended.retry;
                ended.retry = std::min(ended.retry * 2, LAST_RETRY_S);
            }
        },
        nullptr);
    if (worker.child < 0) {
        std::fprintf(stderr, "kelvaro: cannot start the worker of %s: %s\n",
                     worker.port.name.c_str(), GetChildError());
        worker.child = 0;
        worker.due = Timer() + worker.retry;
    }
}

int RunSupervisor(void) {
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
    Publish(stationClient, StationTopic() + "/state", "online", QOS_AT_LEAST_ONCE, true);
    workers.clear();
    for (const PortSetting &port : settings.ports)
        workers.push_back({port});
    for (Worker &worker : workers)
        StartWorker(worker);
    while (!UserInterfaceQuitting()) {
        double next = Timer() + LAST_RETRY_S;
        for (Worker &worker : workers) {
            if (worker.due > 0 && worker.due <= Timer())
                StartWorker(worker);
            if (worker.due > 0)
                next = std::min(next, worker.due);
        }
        WaitUntil(next);
    }
    stopping = true;
    for (Worker &worker : workers)
        if (worker.child > 0)
            StopChild(worker.child, WORKER_STOP_S);
    Publish(stationClient, StationTopic() + "/state", "offline", QOS_AT_LEAST_ONCE, true);
    MqttClose(stationClient);
    return EXIT_DONE;
}

// ---- A worker: one port's controller, a client of the exchange core.

struct WaitingCommand {
    StationRequest request;
    std::string responseTopic;
    std::string correlation;
};

struct Retained {
    std::string state, info, ram, eeprom;
};

int client = 0;
int port = 0;          // the worker's port: the device of its one --port
std::string portTopic; // kelvaro/STATION/PORT
std::string liveTopic;
Retained retained;
std::deque<std::string> keptEvents;
unsigned long droppedEvents = 0;
std::deque<WaitingCommand> waiting;
double lastLive = -1e9;
Words ramSet;          // the RAM's set as last read or written: what the live requests carry
Indicators indicators; // the REF and TOL indicators' thresholds, from one answer to the next
unsigned long droppedAnswers = 0;
double lastDropSaid = -1e9;
const double DROP_NOTE_INTERVAL_S = 10.0;

// A line on standard error, naming the port: several workers share it.
void Note(const std::string &text) {
    std::fprintf(stderr, "%s: %s\n", settings.ports[0].name.c_str(), text.c_str());
}

// The station's words for an outcome: a device that is gone is tried again.
std::string Said(const Outcome &outcome) {
    return outcome.code == OUTCOME_DEVICE_GONE ? outcome.shown() + " - the station tries again"
                                               : outcome.shown();
}

void PublishRetained(const char *suffix, const std::string &payload, std::string *kept) {
    *kept = payload;
    Publish(client, portTopic + "/" + suffix, payload, QOS_AT_LEAST_ONCE, true);
}

void PublishState(const char *state) {
    PublishRetained("state", PortState(state, settings.ports[0].device), &retained.state);
}

// {"words": […], "time": …, and each word by its name}
std::string ParameterSetJson(const unsigned short *words) {
    JsonObject set;
    AddParameterSet(set, words);
    return set.add("time", UtcTimeNow()).text();
}

void PublishParameters(int target, const unsigned short *words) {
    PublishRetained(target == EEPROM ? "parameters/eeprom" : "parameters/ram",
                    ParameterSetJson(words), target == EEPROM ? &retained.eeprom : &retained.ram);
}

// Events wait while the broker is away, up to KEPT_EVENTS; the oldest go first.
void SendEvent(const std::string &event) {
    if (Publish(client, portTopic + "/event", event, QOS_AT_LEAST_ONCE, false) == 0)
        return;
    keptEvents.push_back(event);
    if (keptEvents.size() > KEPT_EVENTS) {
        keptEvents.pop_front();
        ++droppedEvents;
    }
}

void PublishEvent(const char *event, const std::string &result, const char *target = nullptr) {
    JsonObject payload;
    payload.add("event", event).add("result", result);
    if (target)
        payload.add("target", target);
    SendEvent(payload.add("time", UtcTimeNow()).text());
}

// What a reconnection owes the broker: the retained state, then the events kept meanwhile.
void WorkerConnection(int, int connected, const char *cause, void *) {
    if (!connected) {
        Note(std::string(cause) + "; the live run goes on, events are kept");
        return;
    }
    if (*cause)
        return;
    for (const auto &[suffix, payload] :
         {std::pair<const char *, const std::string &>{"state", retained.state},
          {"info", retained.info},
          {"parameters/ram", retained.ram},
          {"parameters/eeprom", retained.eeprom}})
        if (!payload.empty())
            Publish(client, portTopic + "/" + suffix, payload, QOS_AT_LEAST_ONCE, true);
    std::deque<std::string> kept;
    kept.swap(keptEvents);
    for (const std::string &event : kept)
        SendEvent(event);
    if (droppedEvents > 0)
        Note(std::to_string(droppedEvents) + " events were dropped while the broker was away");
    droppedEvents = 0;
}

void Answer(const WaitingCommand &command, const std::string &answer) {
    if (command.responseTopic.empty())
        return;
    MqttPublishResponse(client, command.responseTopic.c_str(), command.correlation.data(),
                        int(command.correlation.size()), answer.data(), int(answer.size()));
}

void CommandMessage(int, const char *topic, const void *payload, int length,
                    const char *responseTopic, const void *correlation, int correlationLength,
                    void *) {
    const std::string name = std::strrchr(topic, '/') + 1;
    WaitingCommand command;
    command.responseTopic = responseTopic ? responseTopic : "";
    if (correlation)
        command.correlation.assign(static_cast<const char *>(correlation),
                                   size_t(correlationLength));
    std::string error;
    if (!ReadStationRequest(name, std::string(static_cast<const char *>(payload), size_t(length)),
                            settings.allowed, &command.request, &error))
        Answer(command, StationRefusal(error));
    else if (waiting.size() >= WAITING_COMMANDS)
        Answer(command, StationRefusal("busy: " + std::to_string(waiting.size()) +
                                       " commands wait for their turn"));
    else
        waiting.push_back(command);
}

Words WordsOf(const Outcome &set) {
    Words words{};
    std::copy_n(set.words.begin(), std::min(set.words.size(), words.size()), words.begin());
    return words;
}

// Reads the set of target and publishes it; the journal notes it as what a write there replaces.
Outcome ReadAndPublish(int target) {
    const Outcome set = ReadSet(target, ramSet, GET_TEXTS, nullptr);
    if (!set.ok())
        return set;
    JournalSetRead(target, set.words.data());
    if (target == RAM)
        ramSet = WordsOf(set);
    PublishParameters(target, set.words.data());
    return set;
}

// Runs one command on the line. Returns its answer.
std::string Execute(const StationRequest &request) {
    const char *targetName = request.target == EEPROM ? "eeprom" : "ram";
    switch (request.command) {
    case COMMAND_GET: {
        const Outcome set = ReadAndPublish(request.target);
        if (!set.ok())
            return StationRefusal(Said(set));
        return JsonObject()
            .add("ok", true)
            .addRaw("words", ParameterWordsJson(set.words.data()))
            .text();
    }
    case COMMAND_SEND: {
        Words words{};
        std::copy_n(request.words.begin(), PNUM, words.begin());
        const Outcome sent =
            JournaledWrite({JOURNAL_SEND, request.target, words.data(), ""},
                           [&request, &words] { return WriteSet(request.target, words, nullptr); });
        PublishEvent("send", Said(sent), targetName);
        if (!sent.ok())
            return StationRefusal(Said(sent));
        // The set sent is the program's set from now on, as the window's Send makes it.
        ramSet = words;
        PublishParameters(request.target, words.data());
        return JsonObject().add("ok", true).text();
    }
    case COMMAND_TEACH:
    case COMMAND_RESET: {
        const bool teach = request.command == COMMAND_TEACH;
        const int code = teach ? ORDER_TEACH : ORDER_RESET;
        const Outcome done =
            JournaledWrite({teach ? JOURNAL_TEACH : JOURNAL_RESET, RAM, ramSet.data(), ""},
                           [code] { return TeachOrReset(code, ramSet, nullptr); });
        PublishEvent(teach ? "teach" : "reset", Said(done));
        if (!done.ok())
            return StationRefusal(Said(done));
        ramSet = WordsOf(done);
        JournalSetRead(RAM, ramSet.data());
        PublishParameters(RAM, ramSet.data());
        return JsonObject()
            .add("ok", true)
            .addRaw("words", ParameterWordsJson(ramSet.data()))
            .text();
    }
    case COMMAND_CAPTURE: {
        Outcome live;
        const Outcome captured = Capture(request.source, ramSet, &live, nullptr);
        if (!captured.ok())
            return StationRefusal(Said(captured));
        JsonObject answer;
        AddCurve(answer.add("ok", true), CurveOf(request.source, captured.words, ramSet));
        return answer.text();
    }
    case COMMAND_FLASH: {
        static int table[CORRECTION_KEYS];
        std::string why;
        if (!BuildCorrectionTable(request.columns.data(), table, &why))
            return StationRefusal(why);
        const Outcome flashed = JournaledWrite({JOURNAL_FLASH, 0, nullptr, TableDigest(table)},
                                               [] { return FlashTable(table, {}); });
        PublishEvent("flash", Said(flashed));
        return flashed.ok() ? JsonObject().add("ok", true).text() : StationRefusal(Said(flashed));
    }
    }
    return StationRefusal("unknown command");
}

// One waiting command takes its turn on the line, or, with the line down, all are refused.
void RunWaitingCommand(void) {
    if (waiting.empty())
        return;
    const WaitingCommand command = waiting.front();
    waiting.pop_front();
    Answer(command, Execute(command.request));
}

void RefuseWaitingCommands(const std::string &why) {
    while (!waiting.empty()) {
        Answer(waiting.front(), StationRefusal("the controller does not answer now: " + why));
        waiting.pop_front();
    }
}

// Each live answer: its message, at most --rate a second. An answer not taken is counted and
// noted now and then.
void LiveAnswer(const Outcome &answer, double) {
    if (!answer.ok()) {
        ++droppedAnswers;
        if (Timer() - lastDropSaid >= DROP_NOTE_INTERVAL_S) {
            lastDropSaid = Timer();
            Note(Said(answer) + "; " + std::to_string(droppedAnswers) + " answers dropped");
        }
        return;
    }
    const LiveSample sample = SampleOf(answer.words, indicators, ramSet);
    const double now = Timer();
    if (settings.rate > 0 && now - lastLive < 1.0 / settings.rate)
        return;
    lastLive = now;
    if (MqttIsConnected(client)) {
        JsonObject live;
        AddLiveValues(live.add("time", UtcTimeNow()), sample);
        Publish(client, liveTopic, live.text(), QOS_AT_MOST_ONCE, false);
    }
}

// Waits for the next try with the line down; commands are refused meanwhile.
void WaitWhileDown(double seconds, const std::string &why) {
    const double until = Timer() + seconds;
    while (!UserInterfaceQuitting() && Timer() < until) {
        ProcessSystemEventsUntil(until);
        RefuseWaitingCommands(why);
    }
}

int RunWorker(const char *name) {
    settings.ports[0].name = TopicSafe(name);
    portTopic = PortTopic(settings.ports[0].name);
    liveTopic = portTopic + "/live";
    port = StartUpPort();
    const Words defaults = DefaultSet();
    indicators = StartingIndicators(defaults[WORD_REFERENCE], defaults[WORD_TOLERANCE]);
    client = OpenClient("kelvaro-" + settings.station + "-" + settings.ports[0].name, "", nullptr);
    if (client < 0) {
        Note(MqttLastError());
        return EXIT_NO_PORT;
    }
    MqttSetCallbacks(client, CommandMessage, WorkerConnection, nullptr);
    MqttSubscribe(client, (portTopic + "/command/+").c_str(), QOS_AT_LEAST_ONCE);
    double retry = FIRST_RETRY_S;
    bool down = false;
    while (!UserInterfaceQuitting()) {
        Outcome ended = StartUp(port, defaults, nullptr);
        if (ended.ok()) {
            if (down)
                PublishEvent("back", ended.text);
            down = false;
            retry = FIRST_RETRY_S;
            ramSet = WordsOf(ended);
            JournalSetRead(RAM, ramSet.data());
            PublishState("online");
            PublishRetained("info",
                            JsonObject()
                                .add("firmware", LineFirmware())
                                .add("device", settings.ports[0].device)
                                .text(),
                            &retained.info);
            PublishParameters(RAM, ramSet.data());
            ReadAndPublish(EEPROM);
            LiveRun run;
            run.image = [] { return ramSet; };
            run.answer = LiveAnswer;
            run.commandsWaiting = [] { return !waiting.empty(); };
            run.between = RunWaitingCommand;
            run.stopped = [] { return UserInterfaceQuitting() != 0; };
            ended = RunLive(run);
            if (ended.code == OUTCOME_STOPPED)
                break;
        }
        const bool lost = ended.code == OUTCOME_DEVICE_GONE || ended.code == OUTCOME_NO_PORT;
        Note(Said(ended));
        if (!down && lost)
            PublishEvent("lost", Said(ended));
        PublishState(lost ? "lost" : "no answer");
        down = true;
        CloseLine();
        WaitWhileDown(retry, Said(ended));
        retry = std::min(retry * 2, LAST_RETRY_S);
    }
    CloseLine();
    RefuseWaitingCommands("the station stops");
    MqttClose(client);
    return EXIT_DONE;
}

} // namespace

int RunStation(HINSTANCE) {
    const std::string wrong = ReadSettings();
    if (!wrong.empty()) {
        std::fprintf(stderr, "kelvaro: serve: %s\n", wrong.c_str());
        return EXIT_USAGE;
    }
    const char *worker = std::getenv(WORKER_VARIABLE);
    if (worker && *worker && settings.ports.size() == 1)
        return RunWorker(worker);
    return RunSupervisor();
}

} // namespace kelvaro
