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
#include "journal.h"
#include "json.h"
#include "panel_ids.h"
#include "parameter_words.h"
#include "recording.h"
#include "station.h"

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
// The sets of the files that send and diff name, read and checked before the line is opened.
unsigned short fileSet[PNUM];
unsigned short diffSets[2][PNUM];
bool json = false; // --json

bool Is(const std::string &word, const char *name) {
    return word == name;
}

int TargetOf(const std::string &word) {
    return Is(word, "eeprom") ? EEPROM : RAM;
}

void PrintJson(const JsonObject &object) {
    std::printf("%s\n", object.text().c_str());
}

// The parameter variables: as a parameter file, or as JSON with the target they came from.
void PrintParameterSet(const char *target) {
    if (!json) {
        std::fputs(ParameterSetText().c_str(), stdout);
        return;
    }
    CopyVarsToPP();
    JsonObject set;
    AddParameterSet(set.add("target", target), pp);
    PrintJson(set);
}

// A reader that went away (monitor | head) or a full disk ends the run.
void PrintMonitorRow(double secondsIntoRun) {
    if (json) {
        JsonObject row;
        AddLiveValues(row.add("time_s", secondsIntoRun).add("time", UtcTimeNow()));
        PrintJson(row);
    } else {
        std::printf("%.3f,%s\n", secondsIntoRun, LiveValuesRow().c_str());
    }
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
    monitor = Monitor{long(OptionNumber("--count", 0)), OptionNumber("--seconds", 0), 0};
    if (!json) {
        std::printf("time_s,%s\n", LiveColumns().c_str());
        std::fflush(stdout);
    }
    return RunLive(PrintMonitorRow) == RUN_STOPPED ? EXIT_DONE : EXIT_NO_ANSWER;
}

int RunCapture(int source) {
    if (!CaptureOntoGraph(source))
        return EXIT_NO_ANSWER;
    if (json) {
        JsonObject curve;
        AddCurve(curve, source);
        PrintJson(curve);
    } else {
        std::fputs(CurveCsv(source).c_str(), stdout);
    }
    return EXIT_DONE;
}

// The set a write replaces is read just before it: the RAM's at the start-up, the EEPROM's here.
int RunSend(int target) {
    if (target == EEPROM && GetFromController(EEPROM) == DEVICE_GONE)
        return EXIT_NO_PORT;
    TakeParameterWords(fileSet);
    // The set goes out as the panel would send it: loaded onto the panel first.
    SetPanelValues();
    return SendToController(target) ? EXIT_DONE : EXIT_NO_ANSWER;
}

// The set one operand of diff names: the file's, read before, or the controller's, read now (the
// RAM's at the start-up). Returns 1, or 0 when the controller did not give it.
// The EEPROM's set is read aside, so that a "ram" after it still finds the RAM's.
int DiffOperand(const std::string &word, int which) {
    if (Is(word, "eeprom"))
        return ReadParameterSet(EEPROM, diffSets[which]) == 1;
    if (Is(word, "ram")) {
        CopyVarsToPP();
        std::copy(pp, pp + PNUM, diffSets[which]);
    }
    return 1;
}

// The words that differ, one a line (position, name, both values), or as JSON. Exit status 0 when
// there are none.
int PrintDiff(const std::vector<std::string> &words) {
    JsonArray differences;
    int differing = 0;
    for (int i = 0; i < PNUM; ++i) {
        const unsigned a = diffSets[0][i];
        const unsigned b = diffSets[1][i];
        if (a == b)
            continue;
        ++differing;
        if (json)
            differences.addRaw(JsonObject()
                                   .add("word", i)
                                   .add("key", PARAMETER_WORDS[i].key)
                                   .add("label", PARAMETER_WORDS[i].label)
                                   .add("a", int(a))
                                   .add("b", int(b))
                                   .text());
        else
            std::printf("%d\t%s\t%u\t%u\n", i, PARAMETER_WORDS[i].label, a, b);
    }
    if (json)
        PrintJson(JsonObject()
                      .add("a", words[1])
                      .add("b", words[2])
                      .add("equal", differing == 0)
                      .addRaw("differences", differences.text())
                      .addRaw("a_words", ParameterWordsJson(diffSets[0]))
                      .addRaw("b_words", ParameterWordsJson(diffSets[1])));
    return differing == 0 ? EXIT_DONE : EXIT_SETS_DIFFER;
}

int Run(const std::vector<std::string> &words) {
    const std::string &command = words[0];
    if (Is(command, "info")) {
        if (!json) {
            std::printf("%s\n", szVersion);
            return EXIT_DONE;
        }
        char device[MAX_PATHNAME_LEN];
        GetComDeviceName(com, device, sizeof device);
        PrintJson(JsonObject()
                      .add("firmware", szVersion)
                      .add("port", "COM" + std::to_string(com))
                      .add("device", device));
        return EXIT_DONE;
    }
    if (Is(command, "get")) {
        if (GetFromController(TargetOf(words[1])) != 1)
            return EXIT_NO_ANSWER;
        PrintParameterSet(words[1].c_str());
        return EXIT_DONE;
    }
    if (Is(command, "send"))
        return RunSend(TargetOf(words[1]));
    if (Is(command, "teach") || Is(command, "reset")) {
        if (!SendCommandAndReadBack(Is(command, "teach") ? ORDER_TEACH : ORDER_RESET))
            return EXIT_NO_ANSWER;
        PrintParameterSet("ram");
        return EXIT_DONE;
    }
    if (Is(command, "monitor"))
        return RunMonitor();
    if (Is(command, "capture"))
        return RunCapture(Is(words[1], "raw") ? RAW_SOURCE : NORM_SOURCE);
    if (Is(command, "diff"))
        return DiffOperand(words[1], 0) && DiffOperand(words[2], 1) ? PrintDiff(words)
                                                                    : EXIT_NO_ANSWER;
    return SendCorrDataToFlash() == 0 ? EXIT_DONE : EXIT_FLASH;
}

int CheckFiles(const std::vector<std::string> &words) {
    if (Is(words[0], "send") && !ReadParameterFile(words[2].c_str(), fileSet))
        return EXIT_FILE;
    if (Is(words[0], "flash") && ReadCorrData(words[1].c_str()) != 0)
        return EXIT_FILE;
    for (int which = 0; Is(words[0], "diff") && which < 2; ++which)
        if (!IsTargetWord(words[size_t(which) + 1]) &&
            !ReadParameterFile(words[size_t(which) + 1].c_str(), diffSets[which]))
            return EXIT_FILE;
    return EXIT_DONE;
}

// What needs no controller: the journal, and diff of two files.
bool NeedsTheLine(const std::vector<std::string> &words) {
    if (Is(words[0], "journal"))
        return false;
    return !Is(words[0], "diff") || IsTargetWord(words[1]) || IsTargetWord(words[2]);
}

int RunOffTheLine(const std::vector<std::string> &words) {
    if (Is(words[0], "journal"))
        return OptionGiven("--verify")
                   ? VerifyJournal()
                   : PrintJournal(OptionValue("--port"), OptionValue("--since"));
    const int files = CheckFiles(words);
    return files != EXIT_DONE ? files : PrintDiff(words);
}

// Without --port the operator learns which device the program took, and why.
void SayStartUpDevice(void) {
    if (StartUpPortGiven())
        return;
    char device[MAX_PATHNAME_LEN];
    GetComDeviceName(com, device, sizeof device);
    if (*device)
        std::fprintf(stderr, "kelvaro: no --port given: COM%d is %s, %s\n", com, device,
                     GetComStartUpReason());
    else
        std::fprintf(stderr, "kelvaro: no --port given and no serial device found: name one "
                             "with --port DEVICE\n");
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

// The start-up, then the command; a device that went away on the way ends it as a port that
// could not be opened.
int RunOnTheLine(const std::vector<std::string> &words) {
    if (const int refused = CheckFiles(words))
        return refused;
    JournalReadsAreFresh();
    if (FrameLogPath() && !OpenFrameLogFile(FrameLogPath()))
        return EXIT_FILE;
    SayStartUpDevice();
    const int startUp = InitRS232(com);
    int result = startUp == STARTUP_NO_PORT         ? EXIT_NO_PORT
                 : startUp == STARTUP_NO_CONTROLLER ? EXIT_NO_ANSWER
                                                    : Run(words);
    if (ComDeviceGone(com)) {
        char device[MAX_PATHNAME_LEN];
        GetComDeviceName(com, device, sizeof device);
        std::fprintf(stderr, "kelvaro: %s went away during the command (%s)\n", device,
                     GetComFailureCause(com));
        result = EXIT_NO_PORT;
    } else if (result != EXIT_DONE && JournalRefusedLastWrite()) {
        result = EXIT_FILE; // the write never went out: its record could not be written
    }
    return result;
}

} // namespace

int RunCommand(HINSTANCE instance) {
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
    lostDeviceAdvice = "the command could not finish";
    PrepareStartUp();
    // The window's first text tells a shell user nothing.
    EchoStatusToStandardError("");
    json = OptionGiven("--json");
    const std::vector<std::string> &words = CommandWords();
    const int result = FinishOutput(words[0] == "serve"   ? RunStation(instance)
                                    : NeedsTheLine(words) ? RunOnTheLine(words)
                                                          : RunOffTheLine(words));
    CloseCom(com);
    CloseFrameLogFile();
    DiscardPanel(panelHandle);
    return result;
}

} // namespace kelvaro
