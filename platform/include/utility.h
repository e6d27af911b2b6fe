// Utility service: time base, pauses, the program's directory, text helpers.
#pragma once

enum { MAX_PATHNAME_LEN = 260 };

// Seconds from an arbitrary fixed start, monotonic; cannot fail.
double Timer(void);
// Pauses without running any callback; only repaints what changed. A signal does not cut it short.
void Delay(double seconds);
// The working folder, where the file dialogs open and the operator's files live: $KELVARO_DIR when
// set; else the program's own directory when it runs from its build tree; else, installed, the
// per-user folder <documents>/kelvaro, made here when missing. Returns 0, or -1 when the path does
// not fit MAX_PATHNAME_LEN (the buffer is then "").
int GetProjectDir(char directory[MAX_PATHNAME_LEN]);
// fileName in the working folder. Returns 0, or -1 as GetProjectDir.
int GetFullPathFromProject(const char *fileName, char fullPath[MAX_PATHNAME_LEN]);
// The directory of the program's executable, which holds its panel file. Returns 0, or -1 as
// GetProjectDir.
int GetProgramDir(char directory[MAX_PATHNAME_LEN]);
// 1 when something (a file, a folder) is at path, else 0.
int FileExists(const char *path);
// 1 when a and b name the same file: one file on disk (through any links), or names equal
// ignoring letter case in the same directory (resolved); else 0.
int SameFile(const char *a, const char *b);

// This machine's name, and the name of the user the program runs as (the account's, else
// $USER, else the number), into text of size bytes. Return 0; -1 when the name does not fit.
int GetHostName(char *text, int size);
int GetUserName(char *text, int size);

// Text from 16-bit values sent high byte first: the bytes in order, cut at the first NUL, bytes
// that are not printable ASCII replaced by '?', always terminated within textSize.
// Returns the text's length.
int FmtWordsAsText(char *text, int textSize, const int *values, int count);
