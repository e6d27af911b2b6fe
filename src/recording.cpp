// Recording the live run to CSV: the rows gather in memory and reach the disk within a second,
// so a crash or a pulled plug loses at most the last second; a full disk ends the recording, not
// the run.
#include "recording.h"

#include "KELVARO1V10.h"
#include "gui.h"
#include "panel_ids.h"

#include "arrayfile.h"
#include "datafile.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace kelvaro {

namespace {

int recordFile = 0;
std::string recordPath;
long rows = 0;

const char ISO_8601[] = "%Y-%m-%dT%H:%M:%S";

struct LiveValue {
    const char *name;
    int (*read)(void);
};
// What one answer shows, in the order of a recording's columns.
const LiveValue LIVE_VALUES[] = {
    {"norm", [] { return valNORM; }},
    {"a", [] { return int(adcCHA); }},
    {"b", [] { return int(adcCHB); }},
    {"amax", [] { return int(Amax); }},
    {"bmax", [] { return int(Bmax); }},
    {"up", [] { return int(UPval); }},
    {"lo", [] { return int(LOval); }},
    {"tol", [] { return int(tolval); }},
    {"btn", [] { return int(btnval); }},
    {"ref_led", [] { return LedShown(PANEL_REFLED); }},
    {"tol_led", [] { return LedShown(PANEL_TOLLED); }},
};

struct Moment {
    std::time_t seconds;
    int millis;
};

Moment Now(void) {
    const auto now = std::chrono::system_clock::now();
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    return {std::chrono::system_clock::to_time_t(now), int(millis % 1000)};
}

std::string TimeText(const std::tm &time, const char *format, int millis) {
    char text[64];
    const size_t length = std::strftime(text, sizeof text, format, &time);
    if (millis >= 0)
        std::snprintf(text + length, sizeof text - length, ".%03d", millis);
    return text;
}

// ISO 8601 local time with milliseconds, as a spreadsheet reads it.
std::string LocalTimeNow(void) {
    const Moment now = Now();
    return LocalTimeText(ISO_8601, now.seconds, now.millis);
}

void FailRecording(void) {
    const std::string why = std::string("Recording stopped: ") + GetDataFileError();
    CloseDataFile(recordFile);
    recordFile = 0;
    ShowStatus(why.c_str());
}

} // namespace

std::string LocalTimeText(const char *format, std::time_t seconds, int millis) {
    std::tm local{};
    localtime_r(&seconds, &local);
    return TimeText(local, format, millis);
}

std::string UtcTimeNow(void) {
    const Moment now = Now();
    std::tm utc{};
    gmtime_r(&now.seconds, &utc);
    return TimeText(utc, ISO_8601, now.millis) + "Z";
}

std::string LiveColumns(void) {
    std::string names;
    for (const LiveValue &value : LIVE_VALUES)
        names += (names.empty() ? "" : ",") + std::string(value.name);
    return names;
}

std::string LiveValuesRow(void) {
    std::string row;
    for (const LiveValue &value : LIVE_VALUES)
        row += (row.empty() ? "" : ",") + std::to_string(value.read());
    return row;
}

void AddLiveValues(JsonObject &object) {
    for (const LiveValue &value : LIVE_VALUES)
        object.add(value.name, value.read());
}

int StartRecording(const char *path) {
    recordFile = OpenDataFile(path, VAL_TRUNCATE);
    if (recordFile < 0) {
        recordFile = 0;
        const std::string why = std::string("Recording not started: ") + GetDataFileError();
        ShowStatus(why.c_str());
        return 0;
    }
    recordPath = path;
    rows = 0;
    if (WriteDataFile(recordFile, ("time,time_s," + LiveColumns() + "\n").c_str()) != 0) {
        FailRecording();
        return 0;
    }
    const std::string where = "Recording to " + recordPath;
    ShowStatus(where.c_str());
    return 1;
}

void RecordLiveAnswer(double secondsIntoRun) {
    if (recordFile == 0)
        return;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, ",%.3f,", secondsIntoRun);
    const std::string row = LocalTimeNow() + seconds + LiveValuesRow() + "\n";
    if (WriteDataFile(recordFile, row.c_str()) != 0) {
        FailRecording();
        return;
    }
    ++rows;
}

void StopRecording(const char *runEnding) {
    if (recordFile == 0)
        return;
    const int closed = CloseDataFile(recordFile);
    recordFile = 0;
    if (closed != 0) {
        const std::string why = std::string("Recording incomplete: ") + GetDataFileError();
        ShowStatus(why.c_str());
        return;
    }
    const std::string saved = std::string(runEnding ? runEnding : "") + (runEnding ? " " : "") +
                              "Recorded " + std::to_string(rows) + " rows to " + recordPath;
    ShowStatus(saved.c_str());
}

bool IsRecording(void) {
    return recordFile != 0;
}

} // namespace kelvaro
