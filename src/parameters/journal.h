// The journal of every write to a controller: JSON lines in the working folder, each carrying the
// SHA-256 of the line before it, so that a record changed, removed or moved shows when it is
// verified. A write goes out only once its record is on the disk.
#pragma once

#include "exchange.h"

#include <functional>
#include <string>

namespace kelvaro {

const char JOURNAL_FILE[] = "kelvaro-journal.jsonl";

enum JournalOperation { JOURNAL_SEND, JOURNAL_TEACH, JOURNAL_RESET, JOURNAL_FLASH };

// The set just read from target (RAM or EEPROM) of the line's port: what the next write there
// replaces, until a write there says otherwise.
void JournalSetRead(int target, const unsigned short *words);
// The command line reads the set a write replaces just before it; the window and the station
// take the last set read.
void JournalReadsAreFresh(void);

// A write to the controller on the line's port: its operation and target (RAM, EEPROM; 0 for the
// flash), and the sixteen words sent or the SHA-256 of the table.
struct JournalEntry {
    JournalOperation operation;
    int target;
    const unsigned short *words;
    std::string tableDigest;
};
// Who asked for a write, beyond the process's user and host: a station's request names the
// station, the port by its name, how it came (mqtt), the requester (the request's user property,
// else its response topic) and the station's own user at the broker.
struct JournalOrigin {
    std::string station;
    std::string portName;
    std::string via;
    std::string requester;
    std::string brokerUser;
};
// Records entry, runs write, and records how it ended, with the set read back when write's
// outcome carries one (teach, reset). The write goes out only once its record is on the disk:
// when that fails, nothing runs and the outcome (OUTCOME_JOURNAL) says why. The set written (or
// read back) becomes what the next write there replaces; after a failed write none is known.
Outcome JournaledWrite(const JournalEntry &entry, const std::function<Outcome()> &write,
                       const JournalOrigin *origin = nullptr);
// The SHA-256 of a correction table as the flash receives it: its 1024 entries, each as the word
// the flash gets, high byte first.
std::string TableDigest(const int *table);

// kelvaro journal: the writes, one entry each, of the port (its number as "COM1", its device, or
// a station's name for it; nullptr for all) since the time given (ISO 8601 UTC, a prefix of
// "2026-12-07T10:15:30"; nullptr for all). Returns the exit status.
int PrintJournal(const char *port, const char *since);
// kelvaro journal --verify. Returns the exit status: EXIT_DONE, EXIT_JOURNAL_BROKEN or EXIT_FILE.
int VerifyJournal(void);
// "" when text is a time --since takes, else why not.
std::string CheckJournalTime(const std::string &text);

} // namespace kelvaro
