// The controller's operations from a shell, for production lines and scripts. Each command runs
// the panel's own functions on the panel loaded and never shown: the start-up, then one exchange
// sequence; the status texts go to standard error and the results to standard output.
#include "commands.h"

#include "KELVARO1V10.h"
#include "com232.h"
#include "command_line.h"
#include "data_out.h"
#include "frame_log.h"
#include "gui.h"
#include "panel_ids.h"
#include "recording.h"

#include "arrayfile.h"
#include "panel.h"
#include "start.h"
#include "utility.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kelvaro {

namespace {

const int RAW_SOURCE = 0;
const int NORM_SOURCE = 1;

struct Monitor {
    long count = 0;     // answers wanted, 0 for no limit
    double seconds = 0; // seconds wanted, 0 for no limit
    long printed = 0;
};
Monitor monitor;
int outputError = 0; // errno of the first failed write to standard output

bool Is(const char *argument, const char *word) {
    return argument && std::strcmp(argument, word) == 0;
}

// The target word of get and send: "ram" or "eeprom"; 0 for anything else.
int TargetOf(const char *word) {
    return Is(word, "ram") ? RAM : Is(word, "eeprom") ? EEPROM : 0;
}

int Usage(const char *why) {
    std::fprintf(stderr, "kelvaro: %s (try kelvaro --help)\n", why);
    return EXIT_USAGE;
}

bool ParsePositive(const char *text, double *value) {
    char *end = nullptr;
    *value = text ? std::strtod(text, &end) : 0;
    return text && end != text && *end == '\0' && *value > 0;
}

// The arguments each command takes, checked before anything touches the port.
int CheckArguments(int argc, char **argv) {
    const char *command = argv[0];
    if (Is(command, "info") || Is(command, "teach") || Is(command, "reset"))
        return argc == 1 ? 0 : Usage("this command takes no arguments");
    if (Is(command, "get"))
        return argc == 2 && TargetOf(argv[1]) ? 0 : Usage("get ram or get eeprom");
    if (Is(command, "send"))
        return argc == 3 && TargetOf(argv[1]) ? 0 : Usage("send ram FILE or send eeprom FILE");
    if (Is(command, "capture"))
        return argc == 2 && (Is(argv[1], "raw") || Is(argv[1], "norm"))
                   ? 0
                   : Usage("capture raw or capture norm");
    if (Is(command, "flash"))
        return argc == 2 ? 0 : Usage("flash FILE");
    if (Is(command, "monitor")) {
        monitor = Monitor{};
        for (int i = 1; i < argc; i += 2) {
            double value = 0;
            const bool counted = Is(argv[i], "--count");
            if (!ParsePositive(i + 1 < argc ? argv[i + 1] : nullptr, &value) ||
                (counted && (value != long(value) || value > 1e9)))
                return Usage("monitor [--count N] [--seconds S], N a whole number, both above 0");
            if (counted)
                monitor.count = long(value);
            else if (Is(argv[i], "--seconds"))
                monitor.seconds = value;
            else
                return Usage("monitor [--count N] [--seconds S]");
        }
        return 0;
    }
    return Usage((std::string("unknown command ") + command).c_str());
}

void PrintParameterSet(void) {
    std::fputs(ParameterSetText().c_str(), stdout);
}

// A reader that went away (monitor | head) or a full disk ends the run.
void PrintMonitorRow(double secondsIntoRun) {
    std::printf("%.3f,%s\n", secondsIntoRun, LiveValuesRow().c_str());
    if (std::fflush(stdout) != 0) {
        outputError = errno;
        stop_flag = 1;
    }
    ++monitor.printed;
    if ((monitor.count > 0 && monitor.printed >= monitor.count) ||
        (monitor.seconds > 0 && secondsIntoRun >= monitor.seconds))
        stop_flag = 1;
}

int RunMonitor(void) {
    std::printf("time_s,%s\n", LIVE_COLUMNS);
    std::fflush(stdout);
    return RunLive(PrintMonitorRow) == RUN_STOPPED ? EXIT_DONE : EXIT_NO_ANSWER;
}

int RunCapture(int source) {
    SetCtrlVal(panelHandle, PANEL_RNGGRAPHSOURCE, source);
    const int whole = CaptureCurve(source);
    PlotCapture();
    if (whole != (source == NORM_SOURCE ? 2 : 4))
        return EXIT_NO_ANSWER;
    std::fputs(CurveCsv(source).c_str(), stdout);
    return EXIT_DONE;
}

// A table that did not come whole from its file, or whose inspection file is missing, is not
// programmed.
int RunFlash(const char *file) {
    const int table = ReadCorrData(file);
    if (table == TABLE_NOT_WRITTEN)
        ShowStatus("Error writing LTlinear.dat!");
    if (table != 0)
        return EXIT_FILE;
    return SendCorrDataToFlash() == 0 ? EXIT_DONE : EXIT_FLASH;
}

int RunSend(int target, const char *file) {
    if (LoadParameterSet(file) != 1)
        return EXIT_FILE;
    // The set goes out as the panel would send it: loaded onto the panel first.
    SetPanelValues();
    return SendToController(target) ? EXIT_DONE : EXIT_NO_ANSWER;
}

int Run(char **argv) {
    const char *command = argv[0];
    if (Is(command, "info")) {
        std::printf("%s\n", szVersion);
        return EXIT_DONE;
    }
    if (Is(command, "get")) {
        if (GetFromController(TargetOf(argv[1])) != 1)
            return EXIT_NO_ANSWER;
        PrintParameterSet();
        return EXIT_DONE;
    }
    if (Is(command, "send"))
        return RunSend(TargetOf(argv[1]), argv[2]);
    if (Is(command, "teach") || Is(command, "reset")) {
        if (!SendCommandAndReadBack(Is(command, "teach") ? ORDER_TEACH : ORDER_RESET))
            return EXIT_NO_ANSWER;
        PrintParameterSet();
        return EXIT_DONE;
    }
    if (Is(command, "monitor"))
        return RunMonitor();
    if (Is(command, "capture"))
        return RunCapture(Is(argv[1], "raw") ? RAW_SOURCE : NORM_SOURCE);
    return RunFlash(argv[1]);
}

// Results that never reached standard output are a failed command, whatever the controller did.
int FinishOutput(int result) {
    if (std::fflush(stdout) != 0 && outputError == 0)
        outputError = errno;
    if (outputError == 0 && !std::ferror(stdout))
        return result;
    std::fprintf(stderr, "kelvaro: the results could not be written to standard output: %s\n",
                 std::strerror(outputError ? outputError : EIO));
    return result == EXIT_DONE ? EXIT_FILE : result;
}

} // namespace

int RunCommand(HINSTANCE instance, int argc, char **argv) {
    if (const int wrong = CheckArguments(argc, argv))
        return wrong;
    // A command opens no window, so it needs no display.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // A closed output is a failed write, handled like one, not a death that leaves the lock file.
    std::signal(SIGPIPE, SIG_IGN);
    if (InitCVIRTEEx(instance, nullptr, nullptr) == 0) {
        std::fprintf(stderr, "kelvaro: cannot start the application\n");
        return EXIT_NO_PORT;
    }
    RegisterCallbacks();
    panelHandle = LoadPanel(0, "KELVARO1V10.uir", PANEL);
    if (panelHandle < 0) {
        std::fprintf(stderr, "kelvaro: cannot load the panel: %s\n", LastPanelError());
        return EXIT_FILE;
    }
    EchoStatusToStandardError();
    PrepareStartUp();
    int result = EXIT_FILE;
    if (!FrameLogPath() || OpenFrameLogFile(FrameLogPath())) {
        const int startUp = InitRS232(com);
        result = startUp == STARTUP_NO_PORT         ? EXIT_NO_PORT
                 : startUp == STARTUP_NO_CONTROLLER ? EXIT_NO_ANSWER
                                                    : Run(argv);
    }
    result = FinishOutput(result);
    CloseCom(com);
    CloseFrameLogFile();
    DiscardPanel(panelHandle);
    return result;
}

} // namespace kelvaro
