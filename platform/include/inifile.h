// INI file service: the station's configuration file, read entry by entry.
#pragma once

// Called for each "key = value" of the file, with the section it stands in ("" before the first
// [section]) and its line; returns 0 to go on, anything else to stop the reading with that result.
typedef int (*IniEntryCallback)(const char *section, const char *key, const char *value, int line,
                                void *data);

// Reads fileName: blank lines and lines starting with ';' or '#' are skipped, "[name]" opens a
// section, "key = value" (blanks around both trimmed) is an entry. Returns 0; what the callback
// stopped with; or -1 with GetIniFileError saying why (the file can't be read, or the line that
// is none of these).
int ReadIniFile(const char *fileName, IniEntryCallback entry, void *data);
// Why the last ReadIniFile failed: the file's name, and the line or the system's words.
const char *GetIniFileError(void);
