// Data file service: files the program writes a line at a time (recordings, the frame log),
// synced to the disk when asked, and text files saved whole.
#pragma once

// Opens fileName to append to it (action VAL_APPEND) or to start it afresh (VAL_TRUNCATE, of
// arrayfile.h). Returns a handle (> 0), or -1 with GetDataFileError saying why.
int OpenDataFile(const char *fileName, int action);
// Adds text, kept in memory until much has gathered or a second has passed since the last sync,
// then synced. Returns 0, or -1 (disk full, folder gone) with GetDataFileError saying why.
int WriteDataFile(int handle, const char *text);
// Hands what was written to the disk and waits until it is there. Returns 0, or -1 as above.
int SyncDataFile(int handle);
// Syncs and closes; the handle is gone either way. Returns 0, or -1 as above.
int CloseDataFile(int handle);
// Replaces fileName with text only once all of it is on the disk. Returns 0, or -1 with
// GetDataFileError saying why; an old file then stays whole.
int SaveTextFile(const char *fileName, const char *text);
// Makes the line to append, knowing the file's last whole line ("" for an empty or new file; a
// line cut short at the end is passed over, and the new line starts after it): writes it into
// line (at most size bytes, no newline). Returns its length, or -1 to append nothing.
typedef int (*ComposeLineCallback)(const char *lastLine, char *line, int size, void *data);
// Appends one line to fileName, made by compose, whole and synced to the disk, holding the file
// locked from reading its last line to the sync: processes that share the file append one after
// the other. Returns 0; 1 when compose declined; -1 with GetDataFileError saying why (nothing
// appended, or the line cut short by a full disk is taken away again).
int AppendComposedLine(const char *fileName, ComposeLineCallback compose, void *data);
// Calls line for each line of fileName in order (without its newline), with its number from 1;
// a callback that returns non-zero stops the reading with that result. Returns 0, that result,
// or -1 with GetDataFileError saying why.
typedef int (*LineCallback)(const char *text, int number, void *data);
int ReadLines(const char *fileName, LineCallback line, void *data);
// Reads a small text file (a password, a key) whole into text, terminated. Returns its length, or
// -1 with GetDataFileError saying why (it can't be read, or holds size bytes or more).
int ReadTextFile(const char *fileName, char *text, int size);
// Why the last failed call failed: the file's name and the system's words.
const char *GetDataFileError(void);
