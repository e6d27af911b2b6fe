// The frame log: every byte the program sends or receives, a line each, with what it means, for
// the Frame log window and the file of --log.
#pragma once

namespace kelvaro {

// Appends the log to path from now on. Returns 1, or 0 with the reason in the status.
int OpenFrameLogFile(const char *path);
// Syncs and closes the --log file.
void CloseFrameLogFile(void);
// True when a line would go anywhere: the window has been opened, or --log names a file. Lines
// are not even formatted otherwise.
bool FrameLogOn(void);

// The hooks of the exchange path. Each is a no-op when the log is off.
void LogSentFrame(const unsigned char *bytes, int count);
void LogAnswerFrame(const unsigned char *bytes, int count);
// A reply without frame header: the firmware text (wanted 64) or a data block (wanted 128).
void LogReply(const unsigned char *bytes, int count, int wanted);
void LogDiscarded(const unsigned char *bytes, int count);

} // namespace kelvaro
