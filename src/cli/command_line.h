// The program's command line: the options (anywhere, --name VALUE or --name=VALUE), the command
// word and its arguments, each checked before anything touches a port; --help, --version and
// help COMMAND.
#pragma once

#include <string>
#include <vector>

namespace kelvaro {

const int EXIT_DONE = 0;
const int EXIT_USAGE = 1;

const int START_WINDOW = -1;
const int START_COMMAND = -2;

// What an option's value must be.
enum ValueKind { NO_VALUE, TEXT, WHOLE_ABOVE_ZERO, NUMBER_ABOVE_ZERO };

// An option as the parser checks it and the help shows it.
struct Option {
    const char *name;
    const char *shortName; // nullptr for none
    ValueKind kind;
    const char *valueName; // as the help shows it
    const char *help;
};

// Reads the arguments and applies --port and --log. Returns START_WINDOW, START_COMMAND, or the
// process exit code after printing what was asked (help, version) or why the arguments are wrong.
int HandleCommandLine(int argc, char **argv);
// The command and its arguments: empty for the window.
const std::vector<std::string> &CommandWords(void);
// The values given for option name ("--count"), in their order; empty when it was not given.
const std::vector<std::string> &OptionValues(const char *name);
// The option's only value, or nullptr when it was not given.
const char *OptionValue(const char *name);
bool OptionGiven(const char *name);
// The port the program starts on: 1, or the number --port gave.
int StartUpPort(void);
// True when --port named the start-up device or port.
bool StartUpPortGiven(void);
// The file of --log, or nullptr.
const char *FrameLogPath(void);
// A number of an option, checked when the command line was read.
double OptionNumber(const char *name, double otherwise);
// True for "ram" and "eeprom", the words that name a parameter set's target.
bool IsTargetWord(const std::string &word);
// True when value is a finite number above 0, put in number.
bool IsNumberAboveZero(const std::string &value, double *number);

} // namespace kelvaro
