// Recording the live run to CSV: the rows gather in memory and reach the disk within a second,
// so a crash or a pulled plug loses at most the last second; a full disk ends the recording, not
// the run.
#include "recording.h"

#include "gui.h"

#include "arrayfile.h"
#include "datafile.h"

#include <cstdio>

namespace kelvaro {

namespace {

int recordFile = 0;
std::string recordPath;
long rows = 0;

void FailRecording(void) {
    const std::string why = std::string("Recording stopped: ") + GetDataFileError();
    CloseDataFile(recordFile);
    recordFile = 0;
    ShowStatus(why.c_str());
}

} // namespace

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

void RecordLiveAnswer(const LiveSample &sample, double secondsIntoRun) {
    if (recordFile == 0)
        return;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, ",%.3f,", secondsIntoRun);
    const std::string row = LocalTimeNow() + seconds + LiveRow(sample) + "\n";
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
