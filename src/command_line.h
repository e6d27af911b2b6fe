// The program's command line: the options that say which device to start on and where the frame
// log goes, a command to run without a window, --help and --version.
#pragma once

namespace kelvaro {

const int EXIT_DONE = 0;
const int EXIT_USAGE = 1;

const int START_WINDOW = -1;
const int START_COMMAND = -2;

// Reads the arguments and applies --port and --log. Returns START_WINDOW, START_COMMAND (the
// command is at CommandIndex), or the process exit code after printing what was asked (help,
// version) or why the arguments are wrong.
int HandleCommandLine(int argc, char **argv);
// Where the command and its arguments start in argv.
int CommandIndex(void);
// The port the program starts on: 1, or the number --port gave.
int StartUpPort(void);
// The file of --log, or nullptr.
const char *FrameLogPath(void);

} // namespace kelvaro
