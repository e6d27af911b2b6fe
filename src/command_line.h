// The program's command line: the options that say which device to start on, --help and
// --version, all answered before any window or display is needed.
#pragma once

namespace kelvaro {

const int EXIT_DONE = 0;
const int EXIT_USAGE = 1;

// Reads the arguments and applies --port. Returns -1 when the window is to start; otherwise the
// process exit code, after printing what was asked (help, version) or why the arguments are
// wrong.
int HandleCommandLine(int argc, char **argv);
// The port the program starts on: 1, or the number --port gave.
int StartUpPort(void);

} // namespace kelvaro
