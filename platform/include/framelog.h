// Frame log service: a window of the newest lines the program writes about its frames, kept
// whether the window is shown or not, with pause, clear and save.
#pragma once

enum { FRAME_LOG_LINES = 10000 };

// Shows the frame log window, made on first call. Returns 0, or UIE_NO_APPLICATION (panel.h).
int ShowFrameLogWindow(void);
// 1 once the window has been shown: from then on the program hands it every line; else 0.
int FrameLogWindowWanted(void);
// Adds one line (no newline) to the window's newest FRAME_LOG_LINES; shown within a tenth of a
// second unless the window is paused or hidden.
void AppendFrameLogLine(const char *line);
