// Getting the operator's data out of the window: the Record and Freeze switches, the curve and
// chart exports, the frame log window and the menu's other items.
#pragma once

#include <string>

namespace kelvaro {

// The captured curve as CSV: "i,a,b" (RAW) or "i,norm,upper,lower,reference" (NORM), 128 rows.
std::string CurveCsv(int source);

// Before a run: when Record is on, asks where the run goes. Returns 1 when the run may start: 0
// when Record is on and no recording could start (cancelled, refused, or the status says why).
// After each answer: its row, and the chart becomes something to export.
int PrepareRecording(void);
void PanelLiveAnswer(double secondsIntoRun);
// After a capture of source: the curve becomes something to export.
void CurveCaptured(int source);

int CC_TogRecord(int panel, int control, int event, void *callbackData, int eventData1,
                 int eventData2);
int CC_TogFreeze(int panel, int control, int event, void *callbackData, int eventData1,
                 int eventData2);
int CC_MenuExportCurve(int panel, int control, int event, void *callbackData, int eventData1,
                       int eventData2);
int CC_MenuExportChart(int panel, int control, int event, void *callbackData, int eventData1,
                       int eventData2);
int CC_MenuQuit(int panel, int control, int event, void *callbackData, int eventData1,
                int eventData2);
int CC_MenuFrameLog(int panel, int control, int event, void *callbackData, int eventData1,
                    int eventData2);
int CC_MenuAbout(int panel, int control, int event, void *callbackData, int eventData1,
                 int eventData2);

} // namespace kelvaro
