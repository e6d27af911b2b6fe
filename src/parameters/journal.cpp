// The journal. Each write is two records: "write" before anything goes to the controller (the
// write goes out only once that record is synced to the disk, so no write escapes the journal),
// and "result" after it, as the status line says it. Records carry a sequence number and the
// SHA-256 of the line before them; processes that share the journal append under its lock.
#include "journal.h"

#include "command_line.h"
#include "commands.h"
#include "json.h"
#include "parameter_words.h"
#include "readings.h"

#include "datafile.h"
#include "digest.h"
#include "serial.h"
#include "utility.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace kelvaro {

namespace {

const std::string NO_RECORD_BEFORE(SHA256_HEX_LEN, '0');

// The set a target last held as far as this process knows, how it came to be known and when.
struct SetKnown {
    std::vector<unsigned short> words;
    std::string time;
    const char *source = "";
};
// By port and target: a station serves several controllers.
std::map<std::pair<int, int>, SetKnown> lastKnown;
const char *readSource = "last read";

std::string JournalPath(void) {
    char path[MAX_PATHNAME_LEN];
    GetFullPathFromProject(JOURNAL_FILE, path);
    return path;
}

std::string Sha256Of(const std::string &text) {
    char hex[SHA256_HEX_LEN + 1];
    Sha256Hex(text.data(), int(text.size()), hex);
    return hex;
}

const char *OperationName(JournalOperation operation) {
    switch (operation) {
    case JOURNAL_SEND:
        return "send";
    case JOURNAL_TEACH:
        return "teach";
    case JOURNAL_RESET:
        return "reset";
    case JOURNAL_FLASH:
        return "flash";
    }
    return "";
}

const char *TargetName(int target) {
    return target == RAM ? "ram" : target == EEPROM ? "eeprom" : nullptr;
}

// A record's fields but its chain: composed under the journal's lock, once the last line is known.
struct Record {
    JsonObject fields;
    long long seq = 0;
};

int Compose(const char *lastLine, char *line, int size, void *data) {
    Record &record = *static_cast<Record *>(data);
    JsonValue last;
    record.seq = 1;
    if (*lastLine && ParseJson(lastLine, &last, nullptr) && last.member("seq") &&
        last.member("seq")->type == JsonType::Number)
        record.seq = static_cast<long long>(last.member("seq")->number) + 1;
    const std::string text = JsonObject()
                                 .add("seq", record.seq)
                                 .addRaw("record", record.fields.text())
                                 .add("prev", *lastLine ? Sha256Of(lastLine) : NO_RECORD_BEFORE)
                                 .text();
    if (int(text.size()) > size)
        return -1;
    std::memcpy(line, text.data(), text.size());
    return int(text.size());
}

// Appends record. Returns true, or false with GetDataFileError saying why.
bool Append(Record &record) {
    return AppendComposedLine(JournalPath().c_str(), Compose, &record) == 0;
}

} // namespace

void JournalSetRead(int target, const unsigned short *words) {
    if (target != RAM && target != EEPROM)
        return;
    lastKnown[{LinePort(), target}] = {std::vector<unsigned short>(words, words + PNUM),
                                       UtcTimeNow(), readSource};
}

void JournalReadsAreFresh(void) {
    readSource = "read fresh";
}

Outcome JournaledWrite(const JournalEntry &entry, const std::function<Outcome()> &write,
                       const JournalOrigin *origin) {
    char user[MAX_PATHNAME_LEN] = "";
    char host[MAX_PATHNAME_LEN] = "";
    char device[MAX_PATHNAME_LEN] = "";
    GetUserName(user, sizeof user);
    GetHostName(host, sizeof host);
    GetComDeviceName(LinePort(), device, sizeof device);
    Record record;
    record.fields.add("kind", "write")
        .add("time", UtcTimeNow())
        .add("user", user)
        .add("host", host)
        .add("version", KELVARO_VERSION)
        .add("port", ComPortLabel(LinePort()))
        .add("device", device)
        .add("firmware", LineFirmware())
        .add("operation", OperationName(entry.operation));
    if (origin)
        record.fields.add("station", origin->station)
            .add("port_name", origin->portName)
            .add("via", origin->via)
            .add("requester", origin->requester)
            .add("broker_user", origin->brokerUser);
    if (const char *name = TargetName(entry.target))
        record.fields.add("target", name);
    else
        record.fields.addNull("target");
    const std::pair<int, int> known{LinePort(), entry.target};
    const auto before = TargetName(entry.target) ? lastKnown.find(known) : lastKnown.end();
    if (before != lastKnown.end())
        record.fields.addRaw("before",
                             JsonObject()
                                 .addRaw("words", ParameterWordsJson(before->second.words.data()))
                                 .add("read", before->second.time)
                                 .add("source", before->second.source)
                                 .text());
    else
        record.fields.addNull("before");
    record.fields.addRaw(
        "sent", entry.words ? JsonObject().addRaw("words", ParameterWordsJson(entry.words)).text()
                            : JsonObject().add("table_sha256", entry.tableDigest).text());
    if (!Append(record)) {
        Outcome refused;
        refused.code = OUTCOME_JOURNAL;
        refused.text = "Journal not written, so nothing was sent";
        refused.cause = GetDataFileError();
        return refused;
    }
    Outcome done = write();
    Record result;
    result.fields.add("kind", "result")
        .add("time", UtcTimeNow())
        .add("of", record.seq)
        .add("result", done.shown());
    const bool readBack = entry.operation != JOURNAL_SEND && entry.operation != JOURNAL_FLASH &&
                          done.ok() && done.words.size() == size_t(PNUM);
    if (readBack)
        result.fields.addRaw(
            "read_back",
            JsonObject().addRaw("words", ParameterWordsJson(done.words.data())).text());
    if (TargetName(entry.target)) {
        if (readBack)
            lastKnown[known] = {done.words, UtcTimeNow(), "read back"};
        else if (done.ok() && entry.words)
            lastKnown[known] = {std::vector<unsigned short>(entry.words, entry.words + PNUM),
                                UtcTimeNow(), "last written"};
        else
            lastKnown.erase(known);
    }
    if (!Append(result))
        done.cause = (done.cause.empty() ? "" : done.cause + "; ") +
                     "its result is not in the journal: " + GetDataFileError();
    return done;
}

std::string TableDigest(const int *table) {
    std::string bytes;
    for (int k = 0; k < FLASH_PAGES * FLASH_PAGE_WORDS; ++k)
        bytes += {char((table[k] >> 8) & 0xFF), char(table[k] & 0xFF)};
    return Sha256Of(bytes);
}

namespace {

// ---- Reading the journal back.

struct Entry {
    JsonValue write;
    std::string result = "(no result recorded)";
    JsonValue readBack; // the set read back after a teach or reset
};

struct Reading {
    std::vector<Entry> entries;
    std::map<long long, size_t> bySeq;
    std::string problem; // why it does not verify, "" while it does
    std::string lastLine;
    long long lastSeq = 0;
    int records = 0;
};

const JsonValue *Field(const JsonValue &record, const char *name) {
    const JsonValue *fields = record.member("record");
    return fields ? fields->member(name) : nullptr;
}

std::string Text(const JsonValue &record, const char *name) {
    const JsonValue *field = Field(record, name);
    return field && field->type == JsonType::String ? field->text : "";
}

int TakeLine(const char *text, int number, void *data) {
    Reading &reading = *static_cast<Reading *>(data);
    const std::string where = std::string(JOURNAL_FILE) + " line " + std::to_string(number) + ": ";
    JsonValue record;
    std::string why;
    const std::string line = text;
    const bool read = ParseJson(line, &record, &why);
    const JsonValue *seq = read ? record.member("seq") : nullptr;
    const std::string *prev = read ? StringMember(record, "prev") : nullptr;
    if (!read) {
        // A record cut short (a crash or a full disk while it was written): the records after it
        // were chained to the one before it.
        if (reading.problem.empty())
            reading.problem = where + "a record cut short, or not a record (" + why +
                              "); the records after it go on from the line before it";
        return 0;
    }
    if (reading.problem.empty()) {
        const std::string chain =
            reading.lastLine.empty() ? NO_RECORD_BEFORE : Sha256Of(reading.lastLine);
        if (!seq || !prev || !record.member("record"))
            reading.problem = where + "not a record of this journal";
        else if (*prev != chain)
            reading.problem = where + "the line before it is not the record it was written after: "
                                      "a record was changed, removed or moved there";
        else if (seq->number != double(reading.lastSeq + 1))
            reading.problem = where + "record " + JsonNumber(seq->number) + " where " +
                              std::to_string(reading.lastSeq + 1) + " was due";
    }
    reading.lastLine = line;
    reading.lastSeq = seq ? static_cast<long long>(seq->number) : reading.lastSeq + 1;
    ++reading.records;
    if (Text(record, "kind") == "write") {
        reading.bySeq[reading.lastSeq] = reading.entries.size();
        Entry entry;
        entry.write = record;
        reading.entries.push_back(entry);
    } else if (const JsonValue *of = Field(record, "of")) {
        const auto found = reading.bySeq.find(static_cast<long long>(of->number));
        if (found != reading.bySeq.end()) {
            reading.entries[found->second].result = Text(record, "result");
            if (const JsonValue *readBack = Field(record, "read_back"))
                reading.entries[found->second].readBack = *readBack;
        }
    }
    return 0;
}

// Reads the whole journal; none yet is an empty one. Returns 0, or -1 when it can't be read (the
// error said).
int ReadJournal(Reading *reading) {
    const std::string path = JournalPath();
    if (!FileExists(path.c_str()))
        return 0;
    if (ReadLines(path.c_str(), TakeLine, reading) < 0) {
        std::fprintf(stderr, "kelvaro: the journal can't be read: %s\n", GetDataFileError());
        return -1;
    }
    return 0;
}

std::vector<int> WordsOf(const JsonValue *set) {
    std::vector<int> words;
    const JsonValue *array = set ? set->member("words") : nullptr;
    for (size_t i = 0; array && array->type == JsonType::Array && i < array->items.size(); ++i)
        words.push_back(int(array->items[i].number));
    return words;
}

// "Tolerance 512 -> 600, Hold 100 -> 50": what a write changed, word by word: the set sent, or
// for a teach or reset the set read back after it.
std::string Changes(const Entry &entry) {
    const JsonValue &write = entry.write;
    const JsonValue *read = Field(write, "before");
    const std::vector<int> before = WordsOf(read);
    const std::vector<int> sent = entry.readBack.type == JsonType::Object
                                      ? WordsOf(&entry.readBack)
                                      : WordsOf(Field(write, "sent"));
    if (before.size() != size_t(PNUM) || sent.size() != size_t(PNUM))
        return "no set read before it";
    std::string changes;
    for (int i = 0; i < PNUM; ++i)
        if (before[size_t(i)] != sent[size_t(i)])
            changes += std::string(changes.empty() ? "" : ", ") + PARAMETER_WORDS[i].label + " " +
                       std::to_string(before[size_t(i)]) + " -> " + std::to_string(sent[size_t(i)]);
    const std::string *source = StringMember(*read, "source");
    return (changes.empty() ? "no word changed" : changes) +
           " (before: " + (source ? *source : "?") + ")";
}

std::string SentTable(const JsonValue &write) {
    const JsonValue *sent = Field(write, "sent");
    const std::string *digest = sent ? StringMember(*sent, "table_sha256") : nullptr;
    return digest ? "table sha256 " + *digest : "";
}

} // namespace

std::string CheckJournalTime(const std::string &text) {
    // A prefix of the journal's own times, 2026-12-07T10:15:30.123Z, down to the day.
    const char *shape = "0000-00-00T00:00:00.000";
    size_t length = text.size();
    if (length > 0 && text.back() == 'Z')
        --length;
    // It ends on a digit: a separator with nothing after it is no time.
    bool fits = length >= 10 && length <= std::strlen(shape) && shape[length - 1] == '0';
    for (size_t i = 0; fits && i < length; ++i)
        fits = shape[i] == '0' ? (text[i] >= '0' && text[i] <= '9') : text[i] == shape[i];
    const auto number = [&text](size_t at, size_t digits) {
        return std::atoi(text.substr(at, digits).c_str());
    };
    if (fits) {
        const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        fits = month >= 1 && month <= 12 && day >= 1 && day <= days[month - 1] &&
               (length < 13 || number(11, 2) < 24) && (length < 16 || number(14, 2) < 60) &&
               (length < 19 || number(17, 2) < 60);
    }
    return fits ? ""
                : "\"" + text +
                      "\" is not a time: write 2026-12-07, 2026-12-07T10:15 or "
                      "2026-12-07T10:15:30.123Z (UTC)";
}

int PrintJournal(const char *port, const char *since) {
    Reading reading;
    if (ReadJournal(&reading) != 0)
        return EXIT_FILE;
    std::string from = since ? since : "";
    if (!from.empty() && from.back() == 'Z')
        from.pop_back();
    for (const Entry &entry : reading.entries) {
        const JsonValue &write = entry.write;
        const std::string portName = Text(write, "port");
        const std::string device = Text(write, "device");
        const std::string stationPort = Text(write, "port_name");
        if (port && portName != port && device != port && stationPort != port)
            continue;
        if (Text(write, "time").compare(0, from.size(), from) < 0)
            continue;
        const std::string target = Text(write, "target");
        const std::string table = SentTable(write);
        // A station's write: the station and port, and who asked over which way.
        const std::string origin = Text(write, "via").empty()
                                       ? ""
                                       : " (station " + Text(write, "station") + " port " +
                                             stationPort + ", " + Text(write, "via") + " from " +
                                             Text(write, "requester") + " as " +
                                             Text(write, "broker_user") + ")";
        std::printf("%s  %s@%s%s  %s %s  %s%s%s: %s\n    %s\n", Text(write, "time").c_str(),
                    Text(write, "user").c_str(), Text(write, "host").c_str(), origin.c_str(),
                    portName.c_str(), device.c_str(), Text(write, "operation").c_str(),
                    target.empty() ? "" : " ", target.c_str(), entry.result.c_str(),
                    table.empty() ? Changes(entry).c_str() : table.c_str());
    }
    if (!reading.problem.empty())
        std::fprintf(stderr, "kelvaro: the journal does not verify: %s\n", reading.problem.c_str());
    return EXIT_DONE;
}

int VerifyJournal(void) {
    Reading reading;
    if (ReadJournal(&reading) != 0)
        return EXIT_FILE;
    if (!reading.problem.empty()) {
        std::printf("%s\n", reading.problem.c_str());
        return EXIT_JOURNAL_BROKEN;
    }
    // Nothing inside the file shows lines taken off its end: the newest hash, noted elsewhere,
    // does.
    std::printf("%s: %d records unbroken; the newest has sha256 %s\n", JOURNAL_FILE,
                reading.records,
                reading.records ? Sha256Of(reading.lastLine).c_str() : NO_RECORD_BEFORE.c_str());
    return EXIT_DONE;
}

} // namespace kelvaro
