// kelvaro-bench: runs the program in this process against the simulator and prints one figure
// a line, "name = value unit": start-up, the live run paced and unpaced, and the flash run.
#include "KELVARO1V10.h"
#include "com232.h"
#include "panel_ids.h"

#include "panel.h"
#include "serial.h"
#include "start.h"
#include "utility.h"

#include "kelvaro_sim.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

using namespace kelvaro;

namespace {

const double LINE_CYCLE_S = 2 * 36 * 10 / 19200.0; // one request and one answer at 19200 baud
const double FLASH_FLOOR_S = 128 * 0.05 + 4 * 0.15 + 3 * 0.05;

double startedAt = 0;
double shownAt = 0;
bool timingStartUp = false;

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

void print(const char *name, double value, const char *unit, const char *note) {
    std::printf("%-28s = %9.3f %-9s # %s\n", name, value, unit, note);
    std::fflush(stdout);
}

double threadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
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

// Opens the panel and port 1 as the program does at start.
bool openProgram() {
    panelHandle = LoadPanel(0, "KELVARO1V10.uir", PANEL);
    if (panelHandle < 0)
        return false;
    InitVars();
    InitRS232(com);
    DisplayPanel(panelHandle);
    return true;
}

void closeProgram() {
    CloseCom(com);
    DiscardPanel(panelHandle);
}

struct LiveFigures {
    double cyclesPerSecond;
    double cpuSecondsPer1000;
};

// Runs the live monitor for `cycles` answers after a warm-up, timing the program's own thread.
LiveFigures measureLiveRun(kvsim::Simulator &sim, unsigned long cycles) {
    const unsigned long warmUp = 20;
    unsigned long firstCount = 0;
    double wallStart = 0;
    double cpuStart = 0;
    LiveFigures figures{};
    QTimer watch;
    watch.setInterval(20); // the watch itself must not add to the figure
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const unsigned long count = sim.requestCount();
        if (wallStart == 0 && count >= warmUp) {
            firstCount = count;
            wallStart = Timer();
            cpuStart = threadCpuSeconds();
        } else if (wallStart != 0 && count >= firstCount + cycles) {
            const double wall = Timer() - wallStart;
            const double cpu = threadCpuSeconds() - cpuStart;
            const double done = double(count - firstCount);
            figures = {done / wall, cpu / done * 1000};
            watch.stop();
            CC_BTNStop(panelHandle, 0, EVENT_COMMIT, nullptr, 0, 0);
        }
    });
    watch.start();
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

int measureLive(bool pacing, unsigned long cycles) {
    kvsim::Simulator sim(kvsim::Simulator::Options{pacing, {}, 1, {}});
    if (!startSimulator(sim, pacing ? "paced" : "unpaced") || !openProgram())
        return 1;
    const LiveFigures figures = measureLiveRun(sim, cycles);
    closeProgram();
    if (pacing) {
        print("line_limit_cycles_per_s", 1 / LINE_CYCLE_S, "1/s", "36 bytes each way at 19200");
        print("live_paced_cycles_per_s", figures.cyclesPerSecond, "1/s", "aim >= 26");
        print("live_cpu_s_per_1000_cycles", figures.cpuSecondsPer1000, "s",
              "program's thread, paced; under 5% of a core is < 1.9");
    } else {
        print("live_unpaced_cycles_per_s", figures.cyclesPerSecond, "1/s", "aim >= 1000");
    }
    return 0;
}

int measureFlash() {
    kvsim::Simulator sim;
    if (!startSimulator(sim, "flash") || !openProgram())
        return 1;
    for (int k = 0; k < 256; ++k)
        flashp4[k] = flashp5[k] = flashp6[k] = flashp7[k] = k;
    const double start = Timer();
    SendCorrDataToFlash();
    const double elapsed = Timer() - start;
    closeProgram();
    if (sim.flashPage(7)[255] != 255) {
        std::fprintf(stderr, "kelvaro-bench: the flash run did not complete\n");
        return 1;
    }
    print("flash_run_s", elapsed, "s", "paced; floor of the fixed pauses 7.15, aim within 3%");
    print("flash_floor_s", FLASH_FLOOR_S, "s", "128 x 0.05 + 4 x 0.15 + 3 x 0.05");
    return 0;
}

const char STARTUP_ONLY[] = "--startup-only";

} // namespace

// The start-up is timed in a process of its own, from before the application exists; the other
// figures share one application.
int main(int argc, char **argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (argc > 1 && std::string(argv[1]) == STARTUP_ONLY)
        return measureStartUp(argv);
    const std::string self = std::string(argv[0]) + " " + STARTUP_ONLY;
    int failed = std::system(self.c_str()) != 0;
    static char *noArguments[] = {argv[0], nullptr};
    PlatformInstance instance{1, noArguments};
    if (InitCVIRTEEx(&instance, nullptr, nullptr) == 0)
        return 1;
    RegisterCallbacks();
    failed |= measureLive(true, 200);
    failed |= measureLive(false, 3000);
    failed |= measureFlash();
    EndApplication();
    return failed;
}
