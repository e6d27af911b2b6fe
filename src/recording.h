// Recording the live run: one CSV row per answer, safe on the disk at least once a second, and
// the row format the command line's monitor prints too.
#pragma once

#include "json.h"

#include <ctime>
#include <string>

namespace kelvaro {

// seconds as local time in strftime's format, with ".mmm" appended when millis is 0..999.
std::string LocalTimeText(const char *format, std::time_t seconds, int millis = -1);

// Now as UTC in ISO 8601 with milliseconds: "2026-12-07T10:15:30.123Z".
std::string UtcTimeNow(void);

// The names of the columns of one answer, after the time columns of a recording: "norm,a,…".
std::string LiveColumns(void);
// The nine live words of the answer just plotted and the two LEDs as shown, comma-separated.
std::string LiveValuesRow(void);
// The same, as members of object under LiveColumns' names.
void AddLiveValues(JsonObject &object);

// Starts a recording at path with its header row. Returns 1, or 0 with the status saying why.
int StartRecording(const char *path);
// Appends the row of the answer just plotted, secondsIntoRun after the run started. A write that
// fails stops the recording with a message; the run goes on.
void RecordLiveAnswer(double secondsIntoRun);
// Completes and closes the recording, and says where it is: after runEnding (the run's last
// status text, or nullptr when it ended as asked).
void StopRecording(const char *runEnding);
bool IsRecording(void);

} // namespace kelvaro
