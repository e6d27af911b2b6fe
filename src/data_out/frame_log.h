// The frame log: every byte the program sends or receives, a line each, with what it means, for
// the Frame log window and the file of --log.
#pragma once

#include "exchange.h"

#include <string>

namespace kelvaro {

// Appends the log to path from now on. Returns true, or false with *why.
bool OpenFrameLogFile(const char *path, std::string *why);
// Syncs and closes the --log file.
void CloseFrameLogFile(void);

// Has the core tell the log its traffic from now on; failure is told why a file stopped.
void StartFrameLog(StepReporter failure);
// What count bytes of traffic mean, as a line of the log says it: an order and its words, the
// firmware text, a data block's words, or "discarded".
std::string TrafficMeaning(Traffic kind, const unsigned char *bytes, int count);

} // namespace kelvaro
