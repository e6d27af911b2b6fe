// kelvaro-bench: runs the program against the simulator and prints one figure a line, "name =
// value unit # note": start-up, the live run in a real window (Xvfb when there is one), with and
// without recording and frame log, idle cost, time-outs, a lost device, flash and command line.
#include "KELVARO1V10.h"
#include "com232.h"
#include "frame_log.h"
#include "panel_ids.h"
#include "parameter_words.h"
#include "recording.h"

#include "framelog.h"
#include "mqtt.h"
#include "panel.h"
#include "serial.h"
#include "start.h"
#include "utility.h"

#include "broker.h"
#include "kelvaro_sim.h"
#include "ser2net.h"

#include <QApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace kelvaro;

namespace {

const double LINE_CYCLE_S = 2 * 36 * 10 / 19200.0; // one request and one answer at 19200 baud
const double FLASH_FLOOR_S = 128 * 0.05 + 4 * 0.15 + 3 * 0.05;
const double WARM_UP_S = 1.0;
const double LIVE_S = 8.0;
const double IDLE_S = 5.0;
const int WINDOWS_EACH = 3; // measured windows of each bridge in turn, for the station's figures
const double ALL_LIVE_S = 30.0; // the longest a bridge may take until every port has published

double startedAt = 0;
double shownAt = 0;
bool timingStartUp = false;
std::string display = "offscreen";

// Notes when the panel first shows and then closes it, which ends WinMain.
class PanelShown : public QObject {
  public:
    bool eventFilter(QObject *object, QEvent *event) override {
        auto *widget = qobject_cast<QWidget *>(object);
        if (event->type() == QEvent::Show && shownAt == 0 && widget && widget->isWindow() &&
            widget->objectName() == QLatin1String("PANEL")) {
            shownAt = Timer();
            QTimer::singleShot(0, widget, [widget] { widget->close(); });
            QCoreApplication::instance()->removeEventFilter(this); // it sees every event
        }
        return false;
    }
};

void watchForThePanel() {
    if (timingStartUp)
        QCoreApplication::instance()->installEventFilter(new PanelShown);
}
Q_COREAPP_STARTUP_FUNCTION(watchForThePanel)

void print(const char *name, double value, const char *unit, const std::string &note) {
    std::printf("%-34s = %10.3f %-6s # %s\n", name, value, unit, note.c_str());
    std::fflush(stdout);
}

// CPU seconds (to the nanosecond, from schedstat) and context switches, that is wake-ups.
struct Usage {
    double cpu = 0;
    double wakeUps = 0;
};

// The program's cost: every thread of this process but the simulator's.
// The cost of the threads of process, but the one called skipped.
Usage threadsUsage(const std::filesystem::path &process, const std::string &skipped = "") {
    Usage usage;
    for (const std::filesystem::directory_entry &task :
         std::filesystem::directory_iterator(process / "task")) {
        if (task.path().filename() == skipped)
            continue;
        double nanoseconds = 0;
        std::ifstream(task.path() / "schedstat") >> nanoseconds;
        usage.cpu += nanoseconds * 1e-9;
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            if (line.find("ctxt_switches:") != std::string::npos)
                usage.wakeUps += std::stod(line.substr(line.find(':') + 1));
    }
    return usage;
}

Usage programUsage(const kvsim::Simulator &sim) {
    return threadsUsage("/proc/self", std::to_string(sim.threadId()));
}

std::string linkFor(const char *name) {
    return "/tmp/kelvaro-bench-" + std::to_string(getpid()) + "-" + name;
}

bool startSimulator(kvsim::Simulator &sim, const char *name) {
    std::string error;
    if (!sim.start(linkFor(name), &error)) {
        std::fprintf(stderr, "kelvaro-bench: cannot start the simulator: %s\n", error.c_str());
        return false;
    }
    setenv("KELVARO_COM1", linkFor(name).c_str(), 1);
    return true;
}

// Opens the panel, shown, and port 1 as the program does at start.
bool openProgram() {
    panelHandle = LoadPanel(0, "KELVARO1V10.uir", PANEL);
    if (panelHandle < 0)
        return false;
    InitVars();
    com = 1;
    InitRS232(com);
    DisplayPanel(panelHandle);
    return true;
}

void closeProgram() {
    CloseLine();
    DiscardPanel(panelHandle);
}

// Starts a simulator and the program on it, runs measure, and closes the program. Returns 1 when
// either could not start, else what measure returns.
int withProgram(const char *name, const std::function<int(kvsim::Simulator &)> &measure) {
    kvsim::Simulator sim;
    if (!startSimulator(sim, name) || !openProgram())
        return 1;
    const int result = measure(sim);
    closeProgram();
    return result;
}

void processEventsFor(double seconds) {
    const double until = Timer() + seconds;
    while (Timer() < until)
        ProcessSystemEventsUntil(until);
}

struct LiveFigures {
    double cyclesPerSecond = 0;
    double cpuPercent = 0;
};

// Runs the live monitor as the Run button does, measures LIVE_S seconds after a warm-up, and
// ends it with Stop. Nothing but two single-shot timers is added to the program's own wakes.
LiveFigures measureLiveRun(kvsim::Simulator &sim) {
    LiveFigures figures;
    unsigned long firstCount = 0;
    double wallStart = 0;
    Usage before;
    QTimer::singleShot(int(WARM_UP_S * 1000), [&] {
        firstCount = sim.requestCount();
        wallStart = Timer();
        before = programUsage(sim);
    });
    QTimer::singleShot(int((WARM_UP_S + LIVE_S) * 1000), [&] {
        const double wall = Timer() - wallStart;
        const Usage after = programUsage(sim);
        figures = {double(sim.requestCount() - firstCount) / wall,
                   (after.cpu - before.cpu) / wall * 100};
        CC_BTNStop(panelHandle, 0, EVENT_COMMIT, nullptr, 0, 0);
    });
    CC_BTNRun(panelHandle, PANEL_BTNRUN, EVENT_COMMIT, nullptr, 0, 0);
    return figures;
}

int measureStartUp(char **argv) {
    kvsim::Simulator sim;
    if (!startSimulator(sim, "startup"))
        return 1;
    // The program as started without arguments.
    PlatformInstance instance{1, argv};
    timingStartUp = true;
    startedAt = Timer();
    const int code = WinMain(&instance, nullptr, nullptr, 1);
    EndApplication();
    if (code != 0 || shownAt == 0) {
        std::fprintf(stderr, "kelvaro-bench: the program did not start (%d)\n", code);
        return 1;
    }
    print("startup_to_panel_s", shownAt - startedAt, "s",
          "application, panel, line check, RAM read, firmware text; aim < 0.5");
    return 0;
}

int measureLive() {
    return withProgram("paced", [](kvsim::Simulator &sim) {
        processEventsFor(WARM_UP_S);
        const Usage before = programUsage(sim);
        processEventsFor(IDLE_S);
        const Usage after = programUsage(sim);
        print("idle_cpu_percent", (after.cpu - before.cpu) / IDLE_S * 100, "%",
              "window open, nothing running; aim <= 0.1");
        print("idle_wakeups_per_s", (after.wakeUps - before.wakeUps) / IDLE_S, "1/s",
              "window open, nothing running; aim < 1");

        const LiveFigures plain = measureLiveRun(sim);
        print("line_limit_cycles_per_s", 1 / LINE_CYCLE_S, "1/s", "36 bytes each way at 19200");
        print("live_paced_cycles_per_s", plain.cyclesPerSecond, "1/s", "aim >= 26.4 (99%)");
        print("live_cpu_percent", plain.cpuPercent, "%",
              "of a core, window shown (" + display + "); aim <= 1");

        const std::string recording = linkFor("recording.csv");
        const std::string frames = linkFor("frames.log");
        StartRecording(recording.c_str());
        std::string why;
        OpenFrameLogFile(frames.c_str(), &why);
        const LiveFigures logged = measureLiveRun(sim);
        StopRecording(nullptr);
        CloseFrameLogFile();
        unlink(recording.c_str());
        unlink(frames.c_str());
        print("live_recorded_logged_cycles_per_s", logged.cyclesPerSecond, "1/s",
              "recording and frame log on; aim: as without");
        print("live_recorded_logged_cpu_percent", logged.cpuPercent, "%",
              "recording and frame log on; aim: as without");

        ShowFrameLogWindow();
        const LiveFigures watched = measureLiveRun(sim);
        print("live_frame_log_window_cycles_per_s", watched.cyclesPerSecond, "1/s",
              "the frame log window following; aim: as without");
        print("live_frame_log_window_cpu_percent", watched.cpuPercent, "%",
              "the frame log window following; aim: as without");
        return 0;
    });
}

// How late a wait sees its time-out, and what a device that goes away costs.
int measureFailures() {
    return withProgram("failures", [](kvsim::Simulator &sim) {
        kvsim::Faults silent;
        silent.silent = true;
        sim.setFaults(silent);
        double late = 0;
        for (int i = 0; i < 3; ++i) {
            const double start = Timer();
            ReadSet(RAM, DefaultSet(), GET_TEXTS, nullptr);
            late = std::max(late, Timer() - start - GET_TIMEOUT_S);
        }
        print("timeout_seen_late_ms", late * 1000, "ms", "worst of 3 gets; aim <= 5");

        const double hangUp = Timer();
        sim.stop();
        while ((ComDeviceGone(com) == 0 || GetInQLen(com) != COM_PORT_NOT_OPEN) &&
               Timer() < hangUp + 1.0)
            ProcessSystemEventsUntil(hangUp + 1.0);
        print("hangup_to_status_s", Timer() - hangUp, "s",
              "peer hangs up, status says so; aim < 0.1");
        const Usage before = programUsage(sim);
        processEventsFor(IDLE_S);
        const Usage after = programUsage(sim);
        print("cpu_after_loss_percent", (after.cpu - before.cpu) / IDLE_S * 100, "%",
              "5 s after the loss; aim < 1");
        return 0;
    });
}

int measureFlash() {
    return withProgram("flash", [](kvsim::Simulator &sim) {
        for (int k = 0; k < 256; ++k)
            flashp4[k] = flashp5[k] = flashp6[k] = flashp7[k] = k;
        const double start = Timer();
        SendCorrDataToFlash();
        const double elapsed = Timer() - start;
        if (sim.flashPage(7)[255] != 255) {
            std::fprintf(stderr, "kelvaro-bench: the flash run did not complete\n");
            return 1;
        }
        print("flash_run_s", elapsed, "s", "paced; floor of the fixed pauses 7.15, aim within 3%");
        print("flash_floor_s", FLASH_FLOOR_S, "s", "128 x 0.05 + 4 x 0.15 + 3 x 0.05");
        return 0;
    });
}

// The live run through ser2net on this machine, over RFC 2217 and raw TCP, beside the same run
// on the simulator's pseudo-terminal itself.
int measureNetwork() {
    return withProgram("network", [](kvsim::Simulator &sim) {
        const LiveFigures local = measureLiveRun(sim);
        Ser2net server;
        std::string error;
        if (!server.start(sim.devicePath(), "19200n81", &error)) {
            std::fprintf(stderr, "kelvaro-bench: %s\n", error.c_str());
            return 1;
        }
        // ser2net holds the device for a moment after a connection ends, and refuses the next
        // one meanwhile, sometimes just after taking it: it is asked again until the line opens
        // and stays open.
        const auto reopenOn = [](const std::string &line) {
            setenv("KELVARO_COM1", line.c_str(), 1);
            const double patience = Timer() + 5;
            do {
                CloseCom(com);
                InitRS232(com);
                processEventsFor(0.3);
            } while ((GetInQLen(com) < 0 || ComDeviceGone(com)) && Timer() < patience);
        };
        reopenOn(server.rfc2217Line());
        const LiveFigures rfc2217 = measureLiveRun(sim);
        reopenOn(server.rawLine());
        const LiveFigures raw = measureLiveRun(sim);
        reopenOn(server.rfc2217Line());
        const double killed = Timer();
        server.kill();
        while (ComDeviceGone(com) == 0 && Timer() < killed + 10)
            ProcessSystemEventsUntil(killed + 10);
        const double lost = Timer() - killed;
        CloseCom(com);
        print("network_local_cycles_per_s", local.cyclesPerSecond, "1/s",
              "the same simulator, its pseudo-terminal opened directly");
        print("network_rfc2217_cycles_per_s", rfc2217.cyclesPerSecond, "1/s",
              "through ser2net on loopback; aim >= 26.2");
        print("network_raw_cycles_per_s", raw.cyclesPerSecond, "1/s",
              "through ser2net on loopback; aim >= 26.2");
        print("network_local_cpu_percent", local.cpuPercent, "%", "of a core");
        print("network_rfc2217_cpu_percent", rfc2217.cpuPercent, "%",
              "of a core; aim within 0.5 of the local line's");
        print("network_raw_cpu_percent", raw.cpuPercent, "%",
              "of a core; aim within 0.5 of the local line's");
        print("network_server_killed_to_lost_s", lost, "s", "ser2net killed; aim < 0.5");
        return 0;
    });
}

// A program beside this one, by its absolute path: the commands run in another folder.
QString programBeside(const char *name) {
    return QCoreApplication::applicationDirPath() + "/" + name;
}

// CPU seconds of a process and its children, from their schedstat.
double processTreeCpu(long pid) {
    double seconds = 0;
    for (const std::filesystem::directory_entry &entry :
         std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const size_t close = line.rfind(')');
        long parent = 0;
        if (close != std::string::npos)
            parent = std::atol(line.c_str() + close + 4); // ") S PPID"
        if (std::stol(name) == pid || parent == pid)
            seconds += threadsUsage(entry.path()).cpu;
    }
    return seconds;
}

// What a subscriber sees of a bridge's live messages: their number and how long each took from
// its answer's arrival (the message's time) to here.
struct Subscriber {
    long messages = 0;
    std::vector<double> latencies; // ms
};

// The ports that have published live values since the bridge was started.
std::set<std::string> portsLive;

// data: the Subscriber * of the bridge being measured, nullptr between its windows.
void takeLive(int, const MqttMessage *message, void *data) {
    const char *topic = message->topic;
    const void *payload = message->payload;
    const int length = message->length;
    portsLive.insert(topic);
    Subscriber *counting = *static_cast<Subscriber **>(data);
    if (!counting)
        return;
    auto &subscriber = *counting;
    const auto now = std::chrono::system_clock::now();
    const std::string text(static_cast<const char *>(payload), size_t(length));
    const size_t at = text.find("\"time\":\"");
    std::tm sent{};
    int millis = 0;
    if (at == std::string::npos ||
        std::sscanf(text.c_str() + at + 8, "%d-%d-%dT%d:%d:%d.%dZ", &sent.tm_year, &sent.tm_mon,
                    &sent.tm_mday, &sent.tm_hour, &sent.tm_min, &sent.tm_sec, &millis) != 7)
        return;
    sent.tm_year -= 1900;
    sent.tm_mon -= 1;
    const double sentMs = double(timegm(&sent)) * 1000 + millis;
    const double nowMs =
        double(
            std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count()) /
        1000.0;
    ++subscriber.messages;
    subscriber.latencies.push_back(nowMs - sentMs);
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(fraction * double(values.size())))];
}

// A bridge from the simulated controllers to the broker, its CPU over the windows it was
// measured in and what the subscriber saw of it meanwhile.
struct Bridge {
    Bridge(std::string program, std::vector<std::string> arguments)
        : program(std::move(program)), arguments(std::move(arguments)) {}

    std::string program;
    std::vector<std::string> arguments;
    double cpu = 0;
    double wall = 0;
    Subscriber seen;
};

// Starts the bridge, lets it warm up until every one of its ports has published and a while
// after, measures LIVE_S seconds of it and stops it. Only one bridge runs at a time, so two never
// share a line. false when it did not start.
bool measureWindow(Bridge &bridge, size_t ports, const std::vector<std::string> &environment,
                   Subscriber **counting) {
    portsLive.clear();
    BackgroundClient process(bridge.program, bridge.arguments, environment);
    if (process.pid() <= 0) {
        std::fprintf(stderr, "kelvaro-bench: %s\n", process.errors().c_str());
        return false;
    }
    const double started = Timer();
    while (portsLive.size() < ports && Timer() - started < ALL_LIVE_S)
        processEventsFor(0.1);
    processEventsFor(WARM_UP_S);
    *counting = &bridge.seen;
    const double cpuBefore = processTreeCpu(process.pid());
    const double start = Timer();
    processEventsFor(LIVE_S);
    const double wall = Timer() - start;
    bridge.cpu += processTreeCpu(process.pid()) - cpuBefore;
    bridge.wall += wall;
    *counting = nullptr;
    ::kill(pid_t(process.pid()), SIGTERM);
    process.waitForExit(10);
    return true;
}

// Starts the broker stations are measured against, and sets what a station runs with there: the
// broker's first user's password, no display. false (said) when the broker did not start.
bool StartStationBroker(Broker &broker, std::vector<std::string> *environment) {
    if (!broker.start()) {
        std::fprintf(stderr, "kelvaro-bench: %s\n", broker.error().c_str());
        return false;
    }
    *environment = {"KELVARO_MQTT_PASSWORD=" + broker.options().users[0].password,
                    "QT_QPA_PLATFORM=offscreen", "KELVARO_DIR=/tmp"};
    return true;
}

// A subscriber at the broker, as its second user.
int OpenListener(const Broker &broker) {
    MqttSettings listener{};
    listener.host = "127.0.0.1";
    listener.port = broker.port();
    listener.user = broker.options().users[1].name.c_str();
    listener.password = broker.options().users[1].password.c_str();
    listener.keepAliveSeconds = 30;
    return MqttOpen(&listener, 10);
}

// kelvaro serve with controllers simulated in this process, against a real Mosquitto, measured
// from the outside as a plant would see it; beside it, in alternate windows on the same
// controllers so that drifts of the machine fall on both, kelvaro-floor, the least a bridge can
// spend on the same work.
int measureStation() {
    Broker broker;
    std::vector<std::string> environment;
    if (!StartStationBroker(broker, &environment))
        return 1;
    const std::string user = broker.options().users[0].name;
    for (const int count : {1, 8, 32}) {
        std::vector<std::unique_ptr<kvsim::Simulator>> sims;
        Bridge station{programBeside("kelvaro").toStdString(),
                       {"serve", "--broker", "mqtt://127.0.0.1:" + std::to_string(broker.port()),
                        "--station", "bench", "--user", user}};
        Bridge floorBridge{
            programBeside("kelvaro-floor").toStdString(),
            {"--broker-port", std::to_string(broker.port()), "--station", "bench", "--user", user}};
        Bridge delimitingFloor{programBeside("kelvaro-floor").toStdString(),
                               {"--broker-port", std::to_string(broker.port()), "--station",
                                "bench", "--user", user, "--delimit"}};
        for (int i = 0; i < count; ++i) {
            sims.push_back(std::make_unique<kvsim::Simulator>());
            const std::string name = "station" + std::to_string(i);
            if (!startSimulator(*sims.back(), name.c_str()))
                return 1;
            for (Bridge *bridge : {&station, &floorBridge, &delimitingFloor})
                bridge->arguments.insert(bridge->arguments.end(),
                                         {"--port", linkFor(name.c_str())});
        }
        const int client = OpenListener(broker);
        Subscriber *counting = nullptr;
        MqttSetCallbacks(client, takeLive, nullptr, &counting);
        MqttSubscribe(client, "kelvaro/bench/+/live", 0, 0);
        for (int window = 0; window < WINDOWS_EACH; ++window) {
            if (!measureWindow(station, size_t(count), environment, &counting) ||
                !measureWindow(floorBridge, size_t(count), environment, &counting) ||
                !measureWindow(delimitingFloor, size_t(count), environment, &counting)) {
                MqttClose(client);
                return 1;
            }
        }
        MqttClose(client);
        const std::string n = std::to_string(count);
        const double stationCpu = station.cpu / station.wall;
        const double floorCpu = floorBridge.cpu / floorBridge.wall;
        const double delimitingCpu = delimitingFloor.cpu / delimitingFloor.wall;
        print(("station_" + n + "_cpu_percent").c_str(), stationCpu * 100, "%",
              n + " controllers, the station's one process; aim for 8: at most 2 x the floor");
        print(("station_" + n + "_messages_per_s").c_str(),
              double(station.seen.messages) / station.wall, "1/s",
              "live messages at a subscriber; the line allows 26.7 for each controller");
        print(("station_" + n + "_latency_p50_ms").c_str(), percentile(station.seen.latencies, 0.5),
              "ms",
              "answer at the station to message at a subscriber (1 ms resolution): published once "
              "the line after it was quiet, at the next request's first look");
        print(("station_" + n + "_latency_p99_ms").c_str(),
              percentile(station.seen.latencies, 0.99), "ms", "aim < 40");
        print(("floor_" + n + "_cpu_percent").c_str(), floorCpu * 100, "%",
              "kelvaro-floor on the same controllers, " +
                  QString::number(double(floorBridge.seen.messages) / floorBridge.wall, 'f', 1)
                      .toStdString() +
                  " messages/s at the subscriber");
        print(("station_" + n + "_cpu_ratio").c_str(), stationCpu / floorCpu, "x",
              "the station's CPU over the floor's, windows taken in turn");
        print(("floor_delimiting_" + n + "_cpu_percent").c_str(), delimitingCpu * 100, "%",
              "kelvaro-floor --delimit: an answer taken only as the station takes it, " +
                  QString::number(double(delimitingFloor.seen.messages) / delimitingFloor.wall, 'f',
                                  1)
                      .toStdString() +
                  " messages/s");
        print(("station_" + n + "_cpu_ratio_delimiting").c_str(), stationCpu / delimitingCpu, "x",
              "the station's CPU over the delimiting floor's");
    }
    return 0;
}

// What a subscriber of one kind of live message took while its bridge was measured (counting
// while the window's subscriber is set): messages and their bytes.
struct Traffic {
    Subscriber *const *window = nullptr;
    bool counting = false;
    long messages = 0;
    double bytes = 0;
};

void countTraffic(int, const MqttMessage *message, void *data) {
    Traffic &traffic = *static_cast<Traffic *>(data);
    if (!traffic.counting || !*traffic.window)
        return;
    ++traffic.messages;
    traffic.bytes += message->length;
}

// kelvaro serve on one controller with the JSON tree alone and with the Sparkplug B node beside
// it, in alternate windows: the live rate through Sparkplug, the bytes of a live message in each
// tree, and the station's CPU with both trees against JSON alone.
int measureSparkplug() {
    Broker broker;
    std::vector<std::string> environment;
    if (!StartStationBroker(broker, &environment))
        return 1;
    const std::string user = broker.options().users[0].name;
    kvsim::Simulator sim;
    if (!startSimulator(sim, "sparkplug"))
        return 1;
    const std::vector<std::string> serve = {
        "serve",     "--broker", "mqtt://127.0.0.1:" + std::to_string(broker.port()),
        "--station", "bench",    "--user",
        user,        "--port",   linkFor("sparkplug")};
    Bridge jsonAlone{programBeside("kelvaro").toStdString(), serve};
    std::vector<std::string> withSparkplug = serve;
    withSparkplug.insert(withSparkplug.end(), {"--sparkplug", "benchgroup"});
    Bridge both{programBeside("kelvaro").toStdString(), withSparkplug};

    const int client = OpenListener(broker);
    Subscriber *counting = nullptr;
    MqttSetCallbacks(client, takeLive, nullptr, &counting);
    MqttSubscribe(client, "kelvaro/bench/+/live", 0, 0);
    const int sparkplugClient = OpenListener(broker);
    Traffic json, sparkplug;
    json.window = sparkplug.window = &counting;
    const int jsonClient = OpenListener(broker);
    MqttSetCallbacks(sparkplugClient, countTraffic, nullptr, &sparkplug);
    MqttSubscribe(sparkplugClient, "spBv1.0/benchgroup/DDATA/bench/+", 0, 0);
    MqttSetCallbacks(jsonClient, countTraffic, nullptr, &json);
    MqttSubscribe(jsonClient, "kelvaro/bench/+/live", 0, 0);
    bool measured = true;
    for (int window = 0; window < WINDOWS_EACH && measured; ++window) {
        json.counting = true;
        measured = measureWindow(jsonAlone, 1, environment, &counting);
        json.counting = false;
        sparkplug.counting = true;
        measured = measured && measureWindow(both, 1, environment, &counting);
        sparkplug.counting = false;
    }
    for (const int opened : {client, sparkplugClient, jsonClient})
        MqttClose(opened);
    if (!measured)
        return 1;
    const double jsonCpu = jsonAlone.cpu / jsonAlone.wall;
    const double bothCpu = both.cpu / both.wall;
    print("sparkplug_live_per_s", double(sparkplug.messages) / both.wall, "1/s",
          "DDATA at a subscriber, one controller; the line allows 26.7");
    print("sparkplug_bytes_per_live", sparkplug.bytes / double(std::max(sparkplug.messages, 1L)),
          "B", "a DDATA's payload: the live metrics that changed, by alias");
    print("json_bytes_per_live", json.bytes / double(std::max(json.messages, 1L)), "B",
          "a JSON live message's payload: every value by name, and the time");
    print("station_json_cpu_percent", jsonCpu * 100, "%", "one controller, the JSON tree alone");
    print("station_sparkplug_cpu_percent", bothCpu * 100, "%",
          "the same with the Sparkplug B node beside it");
    print("station_sparkplug_cpu_ratio", bothCpu / jsonCpu, "x", "both trees over JSON alone");
    return 0;
}

// kelvaro COMMAND as a shell runs it, against controllers simulated in this process.
int measureCommandLine() {
    const QString program = programBeside("kelvaro");
    const QString table = QString::fromStdString(linkFor("CONconfig.dat"));
    {
        std::ofstream file(table.toStdString());
        for (int row = 0; row < 1024; ++row)
            file << row << ' ' << 1023 - row << '\n';
    }
    kvsim::Simulator first;
    kvsim::Simulator second;
    if (!startSimulator(first, "cli1") || !startSimulator(second, "cli2"))
        return 1;
    auto timed = [&](const std::vector<QStringList> &runs) {
        std::vector<std::unique_ptr<QProcess>> processes;
        const double start = Timer();
        for (const QStringList &arguments : runs) {
            processes.push_back(std::make_unique<QProcess>());
            processes.back()->setWorkingDirectory("/tmp");
            processes.back()->start(program, arguments);
        }
        bool ok = true;
        for (auto &process : processes) {
            if (!process->waitForFinished(60000) || process->exitCode() != 0) {
                std::fprintf(stderr, "kelvaro-bench: %s\n",
                             process->readAllStandardError().constData());
                ok = false;
            }
        }
        return ok ? Timer() - start : -1.0;
    };
    const QString one = QString::fromStdString(linkFor("cli1"));
    const QString two = QString::fromStdString(linkFor("cli2"));
    const double info = timed({{"--port", one, "info"}});
    const double flash = timed({{"--port", one, "flash", table}});
    const double both = timed({{"--port", one, "flash", table}, {"--port", two, "flash", table}});
    unlink(table.toLocal8Bit().constData());
    unlink("/tmp/LTlinear.dat");
    if (info < 0 || flash < 0 || both < 0) {
        std::fprintf(stderr, "kelvaro-bench: a command failed\n");
        return 1;
    }
    print("cli_info_s", info, "s", "start to exit, paced; aim < 0.5");
    print("cli_flash_s", flash, "s", "start to exit; floor of the fixed pauses 7.15");
    print("cli_parallel_flash_ratio", both / flash, "x", "two controllers at once; aim < 1.1");
    return 0;
}

// A real window on a virtual X server when Xvfb is there; the figures say which it was.
QProcess *startVirtualDisplay() {
    if (std::getenv("QT_QPA_PLATFORM") || QStandardPaths::findExecutable("Xvfb").isEmpty()) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return nullptr;
    }
    const QString number = QString(":%1").arg(90 + getpid() % 100);
    auto *xvfb = new QProcess;
    xvfb->start("Xvfb", {number, "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
    if (!xvfb->waitForStarted()) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return nullptr;
    }
    usleep(500000);
    setenv("DISPLAY", number.toLocal8Bit().constData(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    display = "Xvfb";
    return xvfb;
}

const char STARTUP_ONLY[] = "--startup-only";

} // namespace

// The start-up is timed in a process of its own, from before the application exists; the other
// figures share one application. Named groups (startup live failures flash cli network station) run
// alone; all run without a name.
int main(int argc, char **argv) {
    if (argc > 1 && std::string(argv[1]) == STARTUP_ONLY)
        return measureStartUp(argv);
    const auto wanted = [argc, argv](const char *group) {
        for (int i = 1; i < argc; ++i)
            if (std::string(argv[i]) == group)
                return true;
        return argc == 1;
    };
    std::unique_ptr<QProcess> xvfb(startVirtualDisplay());
    std::printf("# display: %s\n", display.c_str());
    const std::string self = std::string(argv[0]) + " " + STARTUP_ONLY;
    int failed = wanted("startup") && std::system(self.c_str()) != 0;
    static char *noArguments[] = {argv[0], nullptr};
    PlatformInstance instance{1, noArguments};
    if (InitCVIRTEEx(&instance, nullptr, nullptr) == 0)
        return 1;
    RegisterCallbacks();
    failed |= wanted("live") && measureLive();
    failed |= wanted("failures") && measureFailures();
    failed |= wanted("flash") && measureFlash();
    failed |= wanted("cli") && measureCommandLine();
    failed |= wanted("network") && measureNetwork();
    failed |= wanted("station") && measureStation();
    failed |= wanted("sparkplug") && measureSparkplug();
    EndApplication();
    if (xvfb) {
        xvfb->terminate();
        xvfb->waitForFinished();
    }
    return failed;
}
