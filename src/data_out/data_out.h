// The window's switches and menus beyond the panel's buttons: Record and Freeze, the curve and
// chart exports, the correction table, the frame log window, the manual and About.
#pragma once

namespace kelvaro {

// Before a run: when Record is armed, asks where the run goes. Returns 1 when the run may start:
// 0 when Record is armed and no recording could start (cancelled, refused, or the status says
// why). After each answer plotted: its row, and the chart becomes something to export.
int PrepareRecording(void);
// After a run: its recording, if any, is closed (the status says so after runEnding) and Record
// goes off.
void EndRunRecording(const char *runEnding);
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
int CC_MenuProgramTable(int panel, int control, int event, void *callbackData, int eventData1,
                        int eventData2);
int CC_MenuManual(int panel, int control, int event, void *callbackData, int eventData1,
                  int eventData2);

} // namespace kelvaro
