// Recording the live run: one CSV row per answer, safe on the disk at least once a second.
#pragma once

#include "readings.h"

namespace kelvaro {

// Starts a recording at path with its header row. Returns 1, or 0 with the status saying why.
int StartRecording(const char *path);
// Appends the row of sample, secondsIntoRun after the run started. A write that fails stops the
// recording with a message; the run goes on.
void RecordLiveAnswer(const LiveSample &sample, double secondsIntoRun);
// Completes and closes the recording, and says where it is: after runEnding (the run's last
// status text, or nullptr when it ended as asked).
void StopRecording(const char *runEnding);
bool IsRecording(void);

} // namespace kelvaro
