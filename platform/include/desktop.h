// Desktop service: the program's manual, shown by the desktop's own viewer.
#pragma once

// Writes the manual as an HTML page into the user's cache folder and asks the desktop to show
// it. Returns 0, or -1 with GetDesktopError saying why (the page could not be written; nothing on
// the desktop shows HTML pages, with the page's path to open by hand).
int OpenManual(void);
// Why the last OpenManual failed.
const char *GetDesktopError(void);
