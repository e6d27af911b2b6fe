// The window's switches and menus beyond the panel's buttons: Record and Freeze, the curve and
// chart exports, the correction table, the frame log window, the manual and About.
#include "data_out.h"

#include "KELVARO1V10.h"
#include "gui.h"
#include "panel_ids.h"
#include "readings.h"
#include "recording.h"

#include "datafile.h"
#include "filedialog.h"
#include "framelog.h"
#include "manual.h"
#include "panel.h"
#include "utility.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace kelvaro {

namespace {

int capturedSource = -1; // none yet

// "kelvaro-YYYYMMDD-HHMMSS" and an ending: a default name that does not repeat.
std::string StampedName(const char *ending) {
    return LocalTimeText("kelvaro-%Y%m%d-%H%M%S", std::time(nullptr)) + ending;
}

// The operator names a file to write, and lets it go if it exists. Returns 1 with the path in
// file_name, or 0.
int AskForFile(const char *defaultName, const char *types, const char *title) {
    const int chosen = FileSelectPopup(proj_dir, defaultName, types, title, VAL_SAVE_BUTTON, 0, 0,
                                       1, 1, file_name);
    return MayWriteChosenFile(chosen, title, file_name);
}

bool EndsWith(const std::string &text, const char *ending) {
    const std::string tail = ending;
    if (text.size() < tail.size())
        return false;
    for (size_t i = 0; i < tail.size(); ++i)
        if (std::tolower(text[text.size() - tail.size() + i]) != tail[i])
            return false;
    return true;
}

// The last capture as the graph shows it.
Curve CapturedCurve(void) {
    Curve curve;
    curve.source = capturedSource;
    curve.a.assign(yArrayA, yArrayA + CURVE_POINTS);
    curve.b.assign(yArrayB, yArrayB + CURVE_POINTS);
    curve.upper = upArray[0];
    curve.lower = loArray[0];
    curve.reference = refArray[0];
    return curve;
}

bool IsPicture(const std::string &path) {
    return EndsWith(path, ".png") || EndsWith(path, ".svg");
}

// cause is nullptr when the file was written, else the file's name and the system's words.
void SayWritten(const char *cause) {
    const std::string text =
        cause ? "Could not write " + std::string(cause) : "Written: " + std::string(file_name);
    ShowStatus(text.c_str());
}

// Writes the control as a picture to file_name; nullptr, or why it could not.
const char *WritePicture(int control) {
    return SaveCtrlDisplayToFile(panelHandle, control, 1, -1, -1, file_name) != 0 ? LastPanelError()
                                                                                  : nullptr;
}

// Off; armed: the next run asks for a file and records; recording: a file is open.
enum RecordState { RECORD_OFF, RECORD_ARMED, RECORD_RECORDING };
const char *const RECORD_LABELS[] = {"Re&cord", "Re&cord (armed)", "\u25CF Re&cording"};
// Recording is what the recording says; armed is the switch on without a file.
bool RecordArmed(void) {
    int on = 0;
    GetCtrlVal(panelHandle, PANEL_TOGRECORD, &on);
    return on && !IsRecording();
}

// The button beside Run and the File menu's item show one state.
void ShowRecordState(RecordState state) {
    SetCtrlVal(panelHandle, PANEL_TOGRECORD, state != RECORD_OFF);
    SetCtrlVal(panelHandle, PANEL_MENURECORD, state != RECORD_OFF);
    SetCtrlAttribute(panelHandle, PANEL_TOGRECORD, ATTR_LABEL_TEXT, RECORD_LABELS[state]);
}

// Opens the recording at a file the operator names; the switches show whether one runs.
int StartRecordingAsked(void) {
    const std::string name = StampedName(".csv");
    const int started =
        AskForFile(name.c_str(), "*.csv", "Record the live run") && StartRecording(file_name);
    ShowRecordState(started ? RECORD_RECORDING : RECORD_OFF);
    return started;
}

} // namespace

int PrepareRecording(void) {
    return !RecordArmed() || StartRecordingAsked();
}

void EndRunRecording(const char *runEnding) {
    const bool recorded = IsRecording();
    StopRecording(runEnding);
    if (recorded)
        ShowRecordState(RECORD_OFF);
}

void PanelLiveAnswer(double secondsIntoRun) {
    LiveSample sample;
    const unsigned short shown[LIVE_WORDS] = {static_cast<unsigned short>(valNORM),
                                              adcCHA,
                                              adcCHB,
                                              Amax,
                                              Bmax,
                                              UPval,
                                              LOval,
                                              tolval,
                                              btnval};
    std::copy(shown, shown + LIVE_WORDS, sample.words);
    sample.refLed = LedShown(PANEL_REFLED);
    sample.tolLed = LedShown(PANEL_TOLLED);
    const bool recording = IsRecording();
    RecordLiveAnswer(sample, secondsIntoRun);
    // A write that failed ended the recording.
    if (recording && !IsRecording())
        ShowRecordState(RECORD_OFF);
    SetCtrlAttribute(panelHandle, PANEL_MENUEXPORTCHART, ATTR_DIMMED, 0);
}

void CurveCaptured(int source) {
    capturedSource = source;
    SetCtrlAttribute(panelHandle, PANEL_MENUEXPORTCURVE, ATTR_DIMMED, 0);
}

// The switch beside Run and the File menu's item are one: on during a run it asks where at once,
// on while idle it arms the next run; off closes the file.
int CC_TogRecord(int, int control, int event, void *, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    int on = 0;
    GetCtrlVal(panelHandle, control, &on);
    if (!on) {
        StopRecording(nullptr);
        ShowRecordState(RECORD_OFF);
    } else if (stop_flag == 0) {
        StartRecordingAsked();
    } else {
        ShowRecordState(RECORD_ARMED);
    }
    return 0;
}

int CC_TogFreeze(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    int frozen = 0;
    GetCtrlVal(panelHandle, PANEL_TOGFREEZE, &frozen);
    SetCtrlAttribute(panelHandle, PANEL_RAWCHART, ATTR_CHART_FROZEN, frozen);
    SetCtrlAttribute(panelHandle, PANEL_NORMCHART, ATTR_CHART_FROZEN, frozen);
    return 0;
}

int CC_MenuExportCurve(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT || capturedSource < 0)
        return 0;
    const std::string name = StampedName("-curve.csv");
    if (!AskForFile(name.c_str(), "*.csv *.png *.svg", "Export curve"))
        return 0;
    if (IsPicture(file_name))
        SayWritten(WritePicture(PANEL_GRAPH));
    else
        SayWritten(SaveTextFile(file_name, CurveCsv(CapturedCurve()).c_str()) != 0
                       ? GetDataFileError()
                       : nullptr);
    return 0;
}

int CC_MenuExportChart(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    const std::string name = StampedName("-chart.png");
    if (!AskForFile(name.c_str(), "*.png *.svg", "Export chart"))
        return 0;
    if (!IsPicture(file_name)) {
        ShowStatus("Export chart: name the file .png or .svg");
        return 0;
    }
    const int chart = type == 0 ? PANEL_RAWCHART : PANEL_NORMCHART;
    SayWritten(WritePicture(chart));
    return 0;
}

int CC_MenuQuit(int panel, int, int event, void *, int, int) {
    return event == EVENT_COMMIT ? CC_PANEL(panel, EVENT_CLOSE, nullptr, 0, 0) : 0;
}

int CC_MenuFrameLog(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT)
        ShowFrameLogWindow();
    return 0;
}

// The correction table from any file the operator picks, programmed as the Send way does it.
int CC_MenuProgramTable(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    if (FileSelectPopup(proj_dir, CORRECTION_FILE, PARAMETER_FILE_TYPES, "Program correction table",
                        VAL_LOAD_BUTTON, 0, 1, 1, 0, file_name) > 0)
        ProgramCorrectionTable(file_name);
    return 0;
}

int CC_MenuManual(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT)
        ShowManualWindow();
    return 0;
}

int CC_MenuAbout(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    const std::string text = std::string("kelvaro ") + KELVARO_VERSION +
                             "\nThe operator program for the KEL-VA-RO1 sensor controller.\n\n"
                             "Licence: MIT (Expat); see /usr/share/doc/kelvaro/copyright.\n"
                             "Working folder: " +
                             proj_dir;
    MessagePopup("About kelvaro", text.c_str());
    return 0;
}

} // namespace kelvaro
