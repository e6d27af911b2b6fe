// The controller's operations from a shell, for production lines and scripts: info, get, send,
// teach, reset, monitor, capture and flash, each run without a window.
#pragma once

#include "start.h"

namespace kelvaro {

// Exit status of a command; EXIT_DONE and EXIT_USAGE are the command line's.
const int EXIT_NO_PORT = 2;   // the port can't be opened, or its device went away (said which)
const int EXIT_NO_ANSWER = 3; // the controller does not answer or answers wrongly
const int EXIT_FILE = 4;  // a file (standard output too) can't be read or written, or is rejected
const int EXIT_FLASH = 5; // flash programming failed on at least one page
const int EXIT_SETS_DIFFER = 6;    // diff: the two sets are not the same
const int EXIT_JOURNAL_BROKEN = 7; // journal --verify: a record was changed, removed or moved

// Runs the command the command line named: its files checked, the port start-up, then the
// command. Returns the exit status.
int RunCommand(HINSTANCE instance);

} // namespace kelvaro
