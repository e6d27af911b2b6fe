// Start of the program: what the process entry hands over, and the application's creation
// (InitCVIRTEEx with a user interface, InitCoreApplication without) and end.
#pragma once

// What the process entry received; the program reads its arguments here.
struct PlatformInstance {
    int argc;
    char **argv;
};
typedef struct PlatformInstance *HINSTANCE;

// 1 when the application exists (created now or before), 0 when no display can be opened.
int InitCVIRTEEx(HINSTANCE instance, char **argv, void *reserved);
// 1 when an application without a user interface exists (created now or before), for the command
// line and the station: no display, no panel; else 0.
int InitCoreApplication(HINSTANCE instance);
// Destroys the application InitCVIRTEEx created, after the program's last panel is gone.
void EndApplication(void);
