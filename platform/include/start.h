// Start of the program: the process entry hands over to the program's WinMain, which creates
// the application with InitCVIRTEEx.
#pragma once

// What the process entry received; the program reads its arguments here.
struct PlatformInstance {
    int argc;
    char **argv;
};
typedef struct PlatformInstance *HINSTANCE;

// 1 when the application exists (created now or before), 0 when no display can be opened.
int InitCVIRTEEx(HINSTANCE instance, char **argv, void *reserved);
// Destroys the application InitCVIRTEEx created, after the program's last panel is gone.
void EndApplication(void);

// The program's entry; returns the process exit code.
int WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, char *lpszCmdLine, int nCmdShow);
