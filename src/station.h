// The station service, kelvaro serve: a supervisor holds the station's place at the MQTT broker
// and runs one worker process per controller port; each worker runs its controller's start-up,
// live run and commands on the program's one exchange path, publishes them, and recovers by
// itself from a lost device or a lost broker.
#pragma once

#include "start.h"

namespace kelvaro {

// Runs the station as the command line set it up (the supervisor, or a worker when the
// supervisor started this process as one). Returns the exit status: 0 after a stop signal,
// EXIT_USAGE for wrong settings, EXIT_NO_PORT when the broker can't be reached or refuses.
int RunStation(HINSTANCE instance);

} // namespace kelvaro
