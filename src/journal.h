// The journal of every write to a controller: JSON lines in the working folder, each carrying the
// SHA-256 of the line before it, so that a record changed, removed or moved shows when it is
// verified. A write goes out only once its record is on the disk.
#pragma once

#include <string>

namespace kelvaro {

const char JOURNAL_FILE[] = "kelvaro-journal.jsonl";

enum JournalOperation { JOURNAL_SEND, JOURNAL_TEACH, JOURNAL_RESET, JOURNAL_FLASH };

// The set just read from target (RAM or EEPROM): what the next write there replaces.
void JournalSetRead(int target, const unsigned short *words);
// The command line reads the set a write replaces just before it; the window and the station
// take the last set read.
void JournalReadsAreFresh(void);
// Records a write about to go out to the controller on com: its operation and target (RAM,
// EEPROM; 0 for the flash), and the sixteen words sent or the SHA-256 of the table. Returns 1
// once the record is on the disk; 0 when it could not be written (the status line says why, and
// the write must not go out).
int JournalWrite(JournalOperation operation, int target, const unsigned short *words,
                 const char *tableDigest);
// 1 when the last JournalWrite could not write its record, so the write did not go out.
int JournalRefusedLastWrite(void);
// Records how the write recorded last ended, as the status line says it, with the set read back
// after it (teach, reset; nullptr for none).
void JournalResult(const std::string &result, const unsigned short *readBack = nullptr);
// The SHA-256 of the correction table as the flash receives it: pages 4 to 7, each word high
// byte first.
std::string TableDigest(void);

// kelvaro journal: the writes, one entry each, of the port (its number as "COM1", its device or
// its name; nullptr for all) since the time given (ISO 8601 UTC, a prefix of
// "2026-12-07T10:15:30"; nullptr for all). Returns the exit status.
int PrintJournal(const char *port, const char *since);
// kelvaro journal --verify. Returns the exit status: EXIT_DONE, EXIT_JOURNAL_BROKEN or EXIT_FILE.
int VerifyJournal(void);
// "" when text is a time --since takes, else why not.
std::string CheckJournalTime(const std::string &text);

} // namespace kelvaro
