// The station service, kelvaro serve: one process that holds the station's place at the MQTT
// broker and serves each controller port on the exchange core: its start-up, its live run and
// its commands, published, and recovery by itself from a lost device or a lost broker.
#pragma once

#include "command_line.h"
#include "start.h"

#include <vector>

namespace kelvaro {

// The options of the station's settings, as the command line takes them.
const std::vector<Option> &StationOptions(void);
// What serve takes: --port (again for each port), --config and the station's settings' options.
const char *StationOptionList(void);

// Runs the station as the command line set it up. Returns the exit status: 0 after a stop
// signal, EXIT_USAGE for wrong settings, EXIT_NO_PORT when the broker can't be reached or
// refuses.
int RunStation(HINSTANCE instance);

} // namespace kelvaro
