// The program's command line: the options (anywhere, --name VALUE or --name=VALUE), the command
// word and its arguments, each checked before anything touches a port; --help, --version and
// help COMMAND.
#include "command_line.h"

#include "journal.h"
#include "station.h"

#include "serial.h"
#include "utility.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace kelvaro {

namespace {

const Option OPTIONS[] = {
    {"--port", nullptr, TEXT, "DEVICE",
     "start on DEVICE: a device path, rfc2217://HOST:PORT, tcp://HOST:PORT or a port number"},
    {"--log", nullptr, TEXT, "FILE", "append every byte sent and received to FILE, a line each"},
    {"--json", nullptr, NO_VALUE, nullptr,
     "the result as JSON for scripts: one document (monitor: one object a line)"},
    {"--count", nullptr, WHOLE_ABOVE_ZERO, "N", "stop after N answers"},
    {"--seconds", nullptr, NUMBER_ABOVE_ZERO, "S", "stop after S seconds"},
    {"--config", nullptr, TEXT, "FILE", "the settings from FILE (INI); options given win"},
    {"--since", nullptr, TEXT, "TIME", "only the writes from TIME on (UTC: 2026-12-07T10:15)"},
    {"--verify", nullptr, NO_VALUE, nullptr, "check that no record was changed, removed or moved"},
    {"--help", "-h", NO_VALUE, nullptr, "print this text, or the command's, and exit"},
    {"--version", "-V", NO_VALUE, nullptr, "print the version and exit"},
};

// The options every command that opens the line takes (the window too), and those that print a
// result too.
const char LINE_OPTIONS[] = "--port --log";
const char RESULT_OPTIONS[] = "--port --log --json";

struct Command {
    const char *name;
    const char *arguments; // after the name, as the usage shows them
    int minArguments;
    int maxArguments;
    const char *options; // the options it takes besides --help and --version
    const char *summary;
    // Checks the words after the command word; returns "" or why they are wrong.
    std::string (*check)(const std::vector<std::string> &arguments);
};

std::string NoCheck(const std::vector<std::string> &) {
    return "";
}

std::string CheckTarget(const std::vector<std::string> &arguments) {
    return IsTargetWord(arguments[0]) ? "" : "\"" + arguments[0] + "\" is not ram or eeprom";
}

std::string CheckSource(const std::vector<std::string> &arguments) {
    return arguments[0] == "raw" || arguments[0] == "norm"
               ? ""
               : "\"" + arguments[0] + "\" is not raw or norm";
}

std::string CheckHelpTopic(const std::vector<std::string> &arguments);

// journal takes a --since it can compare.
std::string CheckJournalSince(const std::vector<std::string> &) {
    const char *since = OptionValue("--since");
    return since ? CheckJournalTime(since) : "";
}

const Command COMMANDS[] = {
    {"info", "", 0, 0, RESULT_OPTIONS, "the firmware text", NoCheck},
    {"get", "ram|eeprom", 1, 1, RESULT_OPTIONS, "the parameter set, as a parameter file",
     CheckTarget},
    {"send", "ram|eeprom FILE", 2, 2, LINE_OPTIONS,
     "writes the set of a parameter file (checked before the line is opened)", CheckTarget},
    {"teach", "", 0, 0, LINE_OPTIONS, "teaches the reference, then prints the set read back",
     NoCheck},
    {"reset", "", 0, 0, LINE_OPTIONS, "resets the reference, then prints the set read back",
     NoCheck},
    {"monitor", "[--count N] [--seconds S]", 0, 0, "--port --log --json --count --seconds",
     "the live values as CSV until N answers, S seconds or a signal", NoCheck},
    {"capture", "raw|norm", 1, 1, RESULT_OPTIONS, "one curve as CSV", CheckSource},
    {"flash", "FILE", 1, 1, LINE_OPTIONS,
     "programs the correction table built from FILE; writes LTlinear.dat here", NoCheck},
    {"diff", "A B", 2, 2, RESULT_OPTIONS,
     "the words that differ between A and B, each ram, eeprom or a parameter file; exit status 6 "
     "when they differ",
     NoCheck},
    {"journal", "[--port P] [--since TIME] [--verify]", 0, 0, "--port --since --verify",
     "the writes to controllers from the journal, or whether it is whole", CheckJournalSince},
    {"serve", "--broker URL --port DEVICE... [OPTIONS]", 0, 0, StationOptionList(),
     "the station service: each port's values to an MQTT broker, commands back", NoCheck},
    {"help", "[COMMAND]", 0, 1, "", "this text, or the command's", CheckHelpTopic},
};

const Command *FindCommand(const std::string &name) {
    for (const Command &command : COMMANDS)
        if (name == command.name)
            return &command;
    return nullptr;
}

std::string CheckHelpTopic(const std::vector<std::string> &arguments) {
    return arguments.empty() || FindCommand(arguments[0])
               ? ""
               : "there is no command \"" + arguments[0] + "\"";
}

// Every option: the program's own, then the station's settings.
std::vector<const Option *> AllOptions() {
    std::vector<const Option *> all;
    for (const Option &option : OPTIONS)
        all.push_back(&option);
    for (const Option &option : StationOptions())
        all.push_back(&option);
    return all;
}

const Option *FindOption(const std::string &name) {
    for (const Option *option : AllOptions())
        if (name == option->name || (option->shortName && name == option->shortName))
            return option;
    return nullptr;
}

// True when the space-separated list names option.
bool Lists(const char *list, const char *option) {
    const size_t length = std::strlen(option);
    for (const char *at = std::strstr(list, option); at; at = std::strstr(at + 1, option))
        if ((at == list || at[-1] == ' ') && (at[length] == '\0' || at[length] == ' '))
            return true;
    return false;
}

struct Parsed {
    std::vector<std::string> words;
    std::map<std::string, std::vector<std::string>> options;
    std::map<std::string, double> numbers;
};
Parsed given;
int startUpPort = 1;

const std::vector<std::string> NONE;

void PrintUsage(FILE *out) {
    std::fprintf(out,
                 "usage: kelvaro [--port DEVICE] [--log FILE]                the window\n"
                 "       kelvaro [--port DEVICE] [--log FILE] COMMAND ...    without a window\n"
                 "       kelvaro help [COMMAND] | --help | --version\n");
}

void PrintCommandUsage(FILE *out, const Command &command) {
    std::string options;
    if (Lists(command.options, "--log"))
        options += "[--port DEVICE] [--log FILE] ";
    std::fprintf(out, "usage: kelvaro %s%s%s%s\n", options.c_str(), command.name,
                 *command.arguments ? " " : "", command.arguments);
}

// Prints words from column indent on, after start (the line so far), wrapped at 79 columns.
void PrintWrapped(std::string line, size_t indent, const std::string &text) {
    const size_t LINE = 79;
    line.resize(indent, ' ');
    std::string words = text;
    while (!words.empty()) {
        const size_t room = LINE - indent;
        size_t cut = words.size() <= room ? words.size() : words.rfind(' ', room);
        if (cut == std::string::npos || cut == 0)
            cut = std::min(words.size(), room);
        std::printf("%s%s\n", line.c_str(), words.substr(0, cut).c_str());
        words.erase(0, cut < words.size() ? cut + 1 : cut);
        line.assign(indent, ' ');
    }
}

// One entry of a help list: its form in a column of width, its text wrapped beside it; a form too
// wide for the column stands on a line of its own.
void PrintEntry(const std::string &form, int width, const char *text) {
    std::string line = "  " + form;
    if (line.size() + 1 > size_t(width) + 3) {
        std::printf("%s\n", line.c_str());
        line.clear();
    }
    PrintWrapped(line, size_t(width) + 3, text);
}

void PrintOptions(const char *list) {
    for (const Option *option : AllOptions()) {
        if (!Lists(list, option->name) && !Lists(list, (std::string(option->name) + "+").c_str()))
            continue;
        std::string form = option->shortName ? std::string(option->shortName) + ", " : "    ";
        form += option->name;
        if (option->valueName)
            form += std::string(" ") + option->valueName;
        PrintEntry(form, 20, option->help);
    }
}

void PrintHelp(void) {
    char folder[MAX_PATHNAME_LEN];
    GetProjectDir(folder);
    PrintUsage(stdout);
    std::printf("\nThe operator program for the KEL-VA-RO1 sensor controller: reads, edits and\n"
                "writes its parameter set, teaches the reference, shows the live values and\n"
                "captured curves, and programs the correction table into its flash.\n"
                "\nOptions (before or after the command word; --name=VALUE works too):\n");
    PrintOptions("--port --log --help --version");
    std::printf("\nCommands (status texts go to standard error, results to standard output):\n");
    for (const Command &command : COMMANDS)
        PrintEntry(std::string(command.name) + " " + command.arguments, 33, command.summary);
    std::printf(
        "\nExit status: 0 done, 1 usage, 2 the port or the broker can't be reached, or the\n"
        "device went away, 3 no or wrong answer, 4 a file can't be read or written or is\n"
        "refused, 5 flash programming failed, 6 diff: the sets differ, 7 journal --verify:\n"
        "the journal is not whole.\n"
        "\nPort 1 is the device of --port, else $KELVARO_COM1, else the first USB serial\n"
        "adapter, else the first serial device the system lists.\n"
        "Working folder (file dialogs, CONconfig.dat): %s\n"
        "See kelvaro(1).\n",
        folder);
}

void PrintCommandHelp(const Command &command) {
    PrintCommandUsage(stdout, command);
    std::string summary = command.summary;
    summary[0] = char(std::toupper(static_cast<unsigned char>(summary[0])));
    std::printf("\n");
    PrintWrapped("", 0, summary + ".");
    const std::string own = command.options;
    if (!own.empty()) {
        std::printf("\nOptions:\n");
        PrintOptions(command.options);
    }
    std::printf("\nSee kelvaro --help for the exit status, kelvaro(1) for the details.\n");
}

int UsageError(const std::string &why, const Command *command) {
    std::fprintf(stderr, "kelvaro: %s\n", why.c_str());
    if (command)
        PrintCommandUsage(stderr, *command);
    else
        PrintUsage(stderr);
    return EXIT_USAGE;
}

// The number an option's value must be, or why it is not.
std::string CheckNumber(const Option &option, const std::string &value, double *number) {
    const bool read = IsNumberAboveZero(value, number);
    if (option.kind == WHOLE_ABOVE_ZERO &&
        (!read || *number != std::floor(*number) || *number > 1e9))
        return std::string(option.name) + " \"" + value + "\" is not a whole number above 0";
    if (option.kind == NUMBER_ABOVE_ZERO && !read)
        return std::string(option.name) + " \"" + value + "\" is not a number above 0";
    return "";
}

// Splits the arguments into options and words. Returns "" or why they are wrong.
std::string Split(int argc, char **argv) {
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnd || argument.size() < 2 || argument[0] != '-') {
            given.words.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnd = true;
            continue;
        }
        const size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const Option *option = FindOption(name);
        if (!option)
            return "unknown option " + name;
        std::string value;
        if (option->kind == NO_VALUE) {
            if (equals != std::string::npos)
                return std::string(option->name) + " takes no value";
        } else if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        }
        if (option->kind != NO_VALUE && value.empty())
            return std::string(option->name) + " needs a value: " + option->valueName;
        given.options[option->name].push_back(value);
    }
    return "";
}

// Checks the options against what the command takes, and their numbers.
std::string CheckOptions(const Command *command) {
    const char *allowed = command ? command->options : LINE_OPTIONS;
    for (const auto &[name, values] : given.options) {
        if (name == "--help" || name == "--version")
            continue;
        const bool repeatable = Lists(allowed, (name + "+").c_str());
        if (!Lists(allowed, name.c_str()) && !repeatable)
            return command ? std::string(command->name) + " does not take " + name
                           : name + " needs a command";
        if (values.size() > 1 && !repeatable)
            return name + " given more than once";
        const Option &option = *FindOption(name);
        if (option.kind == WHOLE_ABOVE_ZERO || option.kind == NUMBER_ABOVE_ZERO) {
            double number = 0;
            const std::string wrong = CheckNumber(option, values[0], &number);
            if (!wrong.empty())
                return command ? std::string(command->name) + ": " + wrong : wrong;
            given.numbers[name] = number;
        }
    }
    return "";
}

// A device path names port 1's device; a number picks that port of the ring.
void StartOn(const char *device) {
    char *end = nullptr;
    const long number = std::strtol(device, &end, 10);
    if (*device != '\0' && *end == '\0' && number >= 1 && number <= MAX_COM_PORT)
        startUpPort = int(number);
    else
        SetComStartUpDevice(device);
}

} // namespace

bool IsTargetWord(const std::string &word) {
    return word == "ram" || word == "eeprom";
}

bool IsNumberAboveZero(const std::string &value, double *number) {
    char *end = nullptr;
    *number = std::strtod(value.c_str(), &end);
    return !value.empty() && *end == '\0' && std::isfinite(*number) && *number > 0;
}

int HandleCommandLine(int argc, char **argv) {
    given = Parsed{};
    startUpPort = 1;
    std::string wrong = Split(argc, argv);
    if (!wrong.empty())
        return UsageError(wrong, nullptr);
    const Command *command = given.words.empty() ? nullptr : FindCommand(given.words[0]);
    if (!given.words.empty() && !command)
        return UsageError("unknown command " + given.words[0], nullptr);
    if (OptionGiven("--version")) {
        std::printf("kelvaro %s\n", KELVARO_VERSION);
        return EXIT_DONE;
    }
    const bool helpAsked = OptionGiven("--help");
    if (!helpAsked) {
        wrong = CheckOptions(command);
        if (wrong.empty() && command) {
            const std::vector<std::string> arguments(given.words.begin() + 1, given.words.end());
            const int count = int(arguments.size());
            if (count < command->minArguments || count > command->maxArguments)
                wrong = std::string(command->name) + (count < command->minArguments
                                                          ? ": too few arguments"
                                                          : ": too many arguments");
            else
                wrong = command->check(arguments);
            if (!wrong.empty() && wrong.find(command->name) != 0)
                wrong = std::string(command->name) + ": " + wrong;
        }
        if (!wrong.empty())
            return UsageError(wrong, command);
    }
    if (helpAsked || (command && std::strcmp(command->name, "help") == 0)) {
        const Command *topic = command;
        if (command && std::strcmp(command->name, "help") == 0)
            topic = given.words.size() > 1 ? FindCommand(given.words[1]) : nullptr;
        if (topic)
            PrintCommandHelp(*topic);
        else
            PrintHelp();
        return EXIT_DONE;
    }
    // Several ports (serve) are numbered by the command itself; journal's port is a filter.
    if (const char *device = OptionValue("--port");
        device && OptionValues("--port").size() == 1 &&
        !(command && std::strcmp(command->name, "journal") == 0))
        StartOn(device);
    return command ? START_COMMAND : START_WINDOW;
}

const std::vector<std::string> &CommandWords(void) {
    return given.words;
}

const std::vector<std::string> &OptionValues(const char *name) {
    const auto found = given.options.find(name);
    return found == given.options.end() ? NONE : found->second;
}

const char *OptionValue(const char *name) {
    const std::vector<std::string> &values = OptionValues(name);
    return values.empty() ? nullptr : values.front().c_str();
}

bool OptionGiven(const char *name) {
    return !OptionValues(name).empty();
}

double OptionNumber(const char *name, double otherwise) {
    const auto found = given.numbers.find(name);
    return found == given.numbers.end() ? otherwise : found->second;
}

const char *FrameLogPath(void) {
    return OptionValue("--log");
}

int StartUpPort(void) {
    return startUpPort;
}

bool StartUpPortGiven(void) {
    return OptionGiven("--port");
}

} // namespace kelvaro
