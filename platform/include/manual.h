// The operator's manual, in a window of the program's own.
#pragma once

// Shows the manual window, made on first call. Returns 0, or UIE_NO_APPLICATION (panel.h).
int ShowManualWindow(void);
