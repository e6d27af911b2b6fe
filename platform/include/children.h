// Child process service: programs run beside this one and watched from the event loop, that end
// when this process ends however it ends.
#pragma once

// Runs from the event loop when a child has ended: its exit code, or -1 when a signal ended it.
typedef void (*ChildEndedCallback)(int child, int exitCode, void *data);

// Starts program with arguments (a nullptr-terminated list, the program's name not included)
// and environment entries ("NAME=value", nullptr-terminated) added to this process's; its
// standard output and error are this process's. Returns a handle (> 0), or -1 with
// GetChildError saying why.
int StartChild(const char *program, const char *const *arguments, const char *const *environment,
               ChildEndedCallback ended, void *data);
// Asks the child to end (SIGTERM) and waits up to timeoutSeconds, then kills it (SIGKILL). The
// handle is gone afterwards, and its callback does not run. Returns its exit code, -1 when a
// signal ended it, or -2 for an unknown handle.
int StopChild(int child, double timeoutSeconds);
// Why the last StartChild failed.
const char *GetChildError(void);
