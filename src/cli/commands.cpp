// The controller's operations from a shell, for production lines and scripts. Each command is a
// client of the exchange core, without a panel: the start-up, then one operation; the texts the
// operations tell on their way and their outcomes go to standard error, the results to standard
// output.
#include "commands.h"

#include "command_line.h"
#include "exchange.h"
#include "frame_log.h"
#include "journal.h"
#include "json.h"
#include "parameter_words.h"
#include "readings.h"
#include "set_files.h"
#include "station.h"

#include "panel.h"
#include "serial.h"
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
    long dropped = 0; // answers not taken: the rows have a gap
    bool done = false;
    Indicators indicators{};
};
Monitor monitor;
int outputError = 0; // errno of the first failed write to standard output
// The sets of the files that send and diff name, read and checked before the line is opened.
Words fileSet;
Words diffSets[2];
// The correction table of flash, built before the line is opened.
int table[CORRECTION_KEYS];
bool json = false; // --json
int port = 0;      // the command's port
Words ramSet;      // the RAM's set, read at the start-up: what every request carries
std::string lastSaid;

bool Is(const std::string &word, const char *name) {
    return word == name;
}

int TargetOf(const std::string &word) {
    return Is(word, "eeprom") ? EEPROM : RAM;
}

// A text on standard error; one said again unchanged is said once, as the status line shows it.
void Say(const char *text) {
    if (!*text || lastSaid == text)
        return;
    std::fprintf(stderr, "%s\n", text);
    lastSaid = text;
}

void SayOutcome(const Outcome &outcome) {
    const std::string shown = outcome.shown();
    Say(outcome.code == OUTCOME_DEVICE_GONE ? (shown + " - the command could not finish").c_str()
                                            : shown.c_str());
}

// The exit status of an outcome that ends the command.
int ExitOf(const Outcome &outcome) {
    switch (outcome.code) {
    case OUTCOME_OK:
    case OUTCOME_STOPPED:
        return EXIT_DONE;
    case OUTCOME_DEVICE_GONE:
    case OUTCOME_NO_PORT:
        return EXIT_NO_PORT;
    case OUTCOME_JOURNAL:
    case OUTCOME_FILE:
        return EXIT_FILE;
    default:
        return EXIT_NO_ANSWER;
    }
}

// Says the outcome and returns its exit status.
int Ended(const Outcome &outcome) {
    SayOutcome(outcome);
    return ExitOf(outcome);
}

void PrintJson(const JsonObject &object) {
    std::printf("%s\n", object.text().c_str());
}

// A set as a parameter file, or as JSON with the target it came from.
void PrintParameterSet(const char *target, const Words &words) {
    if (!json) {
        std::fputs(ParameterSetText(words).c_str(), stdout);
        return;
    }
    JsonObject set;
    AddParameterSet(set.add("target", target), words.data());
    PrintJson(set);
}

Words WordsOf(const Outcome &set) {
    Words words{};
    std::copy_n(set.words.begin(), std::min(set.words.size(), words.size()), words.begin());
    return words;
}

// A reader that went away (monitor | head) or a full disk ends the run.
void PrintMonitorRow(const Outcome &answer, double secondsIntoRun) {
    if (monitor.seconds > 0 && secondsIntoRun >= monitor.seconds)
        monitor.done = true;
    if (!answer.ok()) {
        ++monitor.dropped;
        SayOutcome(answer);
        return;
    }
    const LiveSample sample = SampleOf(answer.words, monitor.indicators, ramSet);
    if (json) {
        JsonObject row;
        AddLiveValues(row.add("time_s", secondsIntoRun).add("time", UtcTimeNow()), sample);
        PrintJson(row);
    } else {
        std::printf("%.3f,%s\n", secondsIntoRun, LiveRow(sample).c_str());
    }
    if (std::fflush(stdout) != 0) {
        outputError = errno;
        monitor.done = true;
    }
    ++monitor.printed;
    if (monitor.count > 0 && monitor.printed >= monitor.count)
        monitor.done = true;
}

int RunMonitor(void) {
    monitor = Monitor{};
    monitor.count = long(OptionNumber("--count", 0));
    monitor.seconds = OptionNumber("--seconds", 0);
    monitor.indicators =
        StartingIndicators(DefaultSet()[WORD_REFERENCE], DefaultSet()[WORD_TOLERANCE]);
    if (!json) {
        std::printf("time_s,%s\n", LiveColumns().c_str());
        std::fflush(stdout);
    }
    LiveRun run;
    run.image = [] { return ramSet; };
    run.answer = PrintMonitorRow;
    run.stopped = [] { return monitor.done || UserInterfaceQuitting(); };
    run.steps = Say;
    const int ended = Ended(RunLive(run));
    if (ended != EXIT_DONE || monitor.dropped == 0)
        return ended;
    Say(("kelvaro: " + std::to_string(monitor.dropped) +
         " answers were not taken: the rows have gaps")
            .c_str());
    return EXIT_NO_ANSWER;
}

int RunCapture(int source) {
    Outcome live;
    const Outcome captured = Capture(source, ramSet, &live, Say);
    if (!captured.ok())
        return Ended(captured);
    const Curve curve = CurveOf(source, captured.words, ramSet);
    if (json) {
        JsonObject object;
        AddCurve(object, curve);
        PrintJson(object);
    } else {
        std::fputs(CurveCsv(curve).c_str(), stdout);
    }
    return EXIT_DONE;
}

// Reads the set of target; the journal notes it as what a write there replaces.
Outcome ReadTarget(int target) {
    const Outcome set = ReadSet(target, ramSet, GET_TEXTS, Say);
    if (set.ok())
        JournalSetRead(target, set.words.data());
    return set;
}

// The set a write replaces is read just before it: the RAM's at the start-up, the EEPROM's here.
int RunSend(int target) {
    if (target == EEPROM) {
        const Outcome before = ReadTarget(EEPROM);
        if (!before.ok())
            SayOutcome(before);
        if (before.code == OUTCOME_DEVICE_GONE)
            return EXIT_NO_PORT;
    }
    return Ended(JournaledWrite({JOURNAL_SEND, target, fileSet.data(), ""},
                                [target] { return WriteSet(target, fileSet, Say); }));
}

int RunTeachOrReset(int code) {
    const Outcome done = JournaledWrite(
        {code == ORDER_TEACH ? JOURNAL_TEACH : JOURNAL_RESET, RAM, ramSet.data(), ""},
        [code] { return TeachOrReset(code, ramSet, Say); });
    if (!done.ok())
        return Ended(done);
    SayOutcome(done);
    PrintParameterSet("ram", WordsOf(done));
    return EXIT_DONE;
}

int RunFlash(void) {
    const Outcome flashed = JournaledWrite({JOURNAL_FLASH, 0, nullptr, TableDigest(table)}, [] {
        return FlashTable(table, {Say, nullptr});
    });
    SayOutcome(flashed);
    if (flashed.ok())
        return EXIT_DONE;
    return flashed.code == OUTCOME_WRONG_ANSWER || flashed.code == OUTCOME_NO_ANSWER ||
                   flashed.code == OUTCOME_READ_ERROR
               ? EXIT_FLASH
               : ExitOf(flashed);
}

// The set one operand of diff names: the file's, read before, or the controller's, read now (the
// RAM's at the start-up). Returns 1, or 0 when the controller did not give it.
int DiffOperand(const std::string &word, int which) {
    if (Is(word, "eeprom")) {
        const Outcome set = ReadTarget(EEPROM);
        if (!set.ok()) {
            SayOutcome(set);
            return 0;
        }
        diffSets[which] = WordsOf(set);
    } else if (Is(word, "ram")) {
        diffSets[which] = ramSet;
    }
    return 1;
}

// The words that differ, one a line (position, name, both values), or as JSON. Exit status 0 when
// there are none.
int PrintDiff(const std::vector<std::string> &words) {
    JsonArray differences;
    int differing = 0;
    for (int i = 0; i < PNUM; ++i) {
        const unsigned a = diffSets[0][size_t(i)];
        const unsigned b = diffSets[1][size_t(i)];
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
                      .addRaw("a_words", ParameterWordsJson(diffSets[0].data()))
                      .addRaw("b_words", ParameterWordsJson(diffSets[1].data())));
    return differing == 0 ? EXIT_DONE : EXIT_SETS_DIFFER;
}

int Run(const std::vector<std::string> &words) {
    const std::string &command = words[0];
    if (Is(command, "info")) {
        if (!json) {
            std::printf("%s\n", LineFirmware().c_str());
            return EXIT_DONE;
        }
        char device[MAX_PATHNAME_LEN];
        GetComDeviceName(port, device, sizeof device);
        PrintJson(JsonObject()
                      .add("firmware", LineFirmware())
                      .add("port", ComPortLabel(port))
                      .add("device", device));
        return EXIT_DONE;
    }
    if (Is(command, "get")) {
        const Outcome set = ReadTarget(TargetOf(words[1]));
        if (!set.ok())
            return Ended(set);
        SayOutcome(set);
        PrintParameterSet(words[1].c_str(), WordsOf(set));
        return EXIT_DONE;
    }
    if (Is(command, "send"))
        return RunSend(TargetOf(words[1]));
    if (Is(command, "teach") || Is(command, "reset"))
        return RunTeachOrReset(Is(command, "teach") ? ORDER_TEACH : ORDER_RESET);
    if (Is(command, "monitor"))
        return RunMonitor();
    if (Is(command, "capture"))
        return RunCapture(Is(words[1], "raw") ? RAW_SOURCE : NORM_SOURCE);
    if (Is(command, "diff"))
        return DiffOperand(words[1], 0) && DiffOperand(words[2], 1) ? PrintDiff(words)
                                                                    : EXIT_NO_ANSWER;
    return RunFlash();
}

// Files named on the command line, read and checked before the line is opened: a refused file
// sends nothing.
int CheckFiles(const std::vector<std::string> &words) {
    std::string why;
    bool read = true;
    if (Is(words[0], "send"))
        read = ReadParameterFile(words[2].c_str(), fileSet, &why);
    if (Is(words[0], "flash")) {
        static unsigned short columns[CORRECTION_COLUMNS];
        read = ReadCorrectionFile(words[1].c_str(), columns, &why) &&
               BuildCorrectionTable(columns, table, TABLE_FILE, &why);
    }
    for (int which = 0; read && Is(words[0], "diff") && which < 2; ++which)
        if (!IsTargetWord(words[size_t(which) + 1]))
            read = ReadParameterFile(words[size_t(which) + 1].c_str(), diffSets[which], &why);
    if (read)
        return EXIT_DONE;
    Say(why.c_str());
    return EXIT_FILE;
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
    GetComDeviceName(port, device, sizeof device);
    if (*device)
        std::fprintf(stderr, "kelvaro: no --port given: %s is %s, %s\n", ComPortLabel(port).c_str(),
                     device, GetComStartUpReason());
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
    if (const char *log = FrameLogPath()) {
        StartFrameLog(Say);
        std::string why;
        if (!OpenFrameLogFile(log, &why)) {
            Say(why.c_str());
            return EXIT_FILE;
        }
    }
    SayStartUpDevice();
    const Outcome started = StartUp(port, DefaultSet(), Say);
    int result = EXIT_DONE;
    if (started.ok()) {
        ramSet = WordsOf(started);
        JournalSetRead(RAM, ramSet.data());
        Say(started.text.c_str());
        result = Run(words);
    } else {
        result = Ended(started);
    }
    if (ComDeviceGone(port)) {
        char device[MAX_PATHNAME_LEN];
        GetComDeviceName(port, device, sizeof device);
        std::fprintf(stderr, "kelvaro: %s went away during the command (%s)\n", device,
                     GetComFailureCause(port));
        result = EXIT_NO_PORT;
    }
    return result;
}

} // namespace

int RunCommand(HINSTANCE instance) {
    // A closed output is a failed write, handled like one, not a death that leaves the lock file.
    std::signal(SIGPIPE, SIG_IGN);
    if (InitCoreApplication(instance) == 0) {
        std::fprintf(stderr, "kelvaro: cannot start the application\n");
        return EXIT_NO_PORT;
    }
    port = StartUpPort();
    json = OptionGiven("--json");
    const std::vector<std::string> &words = CommandWords();
    const int result = FinishOutput(words[0] == "serve"   ? RunStation(instance)
                                    : NeedsTheLine(words) ? RunOnTheLine(words)
                                                          : RunOffTheLine(words));
    CloseLine();
    CloseFrameLogFile();
    return result;
}

} // namespace kelvaro
