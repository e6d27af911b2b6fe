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

// ISO 8601 local time with milliseconds, as a spreadsheet reads it.
std::string LocalTimeNow(void) {
    const auto now = std::chrono::system_clock::now();
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    return LocalTimeText("%Y-%m-%dT%H:%M:%S", std::chrono::system_clock::to_time_t(now),
                         int(millis % 1000));
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
    char text[64];
    const size_t length = std::strftime(text, sizeof text, format, &local);
    if (millis >= 0)
        std::snprintf(text + length, sizeof text - length, ".%03d", millis);
    return text;
}

std::string UtcTimeNow(void) {
    const auto now = std::chrono::system_clock::now();
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", int(millis % 1000));
    return text;
}

std::string LiveValuesRow(void) {
    char row[128];
    std::snprintf(row, sizeof row, "%d,%u,%u,%u,%u,%u,%u,%u,%u,%d,%d", valNORM, adcCHA, adcCHB,
                  Amax, Bmax, UPval, LOval, tolval, btnval, LedShown(PANEL_REFLED),
                  LedShown(PANEL_TOLLED));
    return row;
}

void AddLiveValues(JsonObject &object) {
    object.add("norm", valNORM)
        .add("a", int(adcCHA))
        .add("b", int(adcCHB))
        .add("amax", int(Amax))
        .add("bmax", int(Bmax))
        .add("up", int(UPval))
        .add("lo", int(LOval))
        .add("tol", int(tolval))
        .add("btn", int(btnval))
        .add("ref_led", LedShown(PANEL_REFLED))
        .add("tol_led", LedShown(PANEL_TOLLED));
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
    if (WriteDataFile(recordFile, (std::string("time,time_s,") + LIVE_COLUMNS + "\n").c_str()) !=
        0) {
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
