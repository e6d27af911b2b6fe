// The program's command line: --help and --version, answered without a display.
#pragma once

namespace kelvaro {

const int EXIT_DONE = 0;
const int EXIT_USAGE = 1;

// Reads the arguments. Returns -1 when the window is to start; otherwise the process exit code,
// after printing what was asked (help, version) or why the arguments are wrong.
int HandleCommandLine(int argc, char **argv);

} // namespace kelvaro
