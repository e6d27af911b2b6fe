// The program's state (every global and its default) and the main module's operations and
// callbacks: the window's side of every command, the core doing the exchange.
#pragma once

#include "exchange.h"

#include "start.h"

#include <cstddef>
#include <cstring>
#include <functional>

namespace kelvaro {

// Parameter set, in the order of the parameter image.
extern unsigned short power, reference, tolerance, hysteresis, polarity, hold, hwmode, average,
    evalmode, maxmode, triglvl, trigmode, sdelay, para13, para14, para15;

// Thresholds of the REF and TOL indicators, and the chart levels after a stop.
extern short refTHD, upTHD, lowTHD;
extern unsigned short ref10Bit, tol10Bit;

// Live values and plot lines.
extern int valNORM;
extern unsigned short adcCHA, adcCHB, Amax, Bmax, UPval, LOval, tolval, btnval, valREF;
extern int upTHR, loTHR;

// Chart history windows and curve buffers.
extern double arrayRAW[200];
extern double arrayNORM[400];
extern unsigned short xArray[256], yArrayA[256], yArrayB[256], upArray[256], loArray[256],
    refArray[256];

// Correction table and flash pages.
extern int flashp4[256], flashp5[256], flashp6[256], flashp7[256];
const int PAGE0 = 0x1000, PAGE1 = 0x1100, PAGE2 = 0x1200, PAGE3 = 0x1300;
const int PAGE4 = 0x1400, PAGE5 = 0x1500, PAGE6 = 0x1600, PAGE7 = 0x1700;
const int MAXBLOCK = 16;

// Run control and timing.
extern int stop_flag, graphrefresh, type;
extern unsigned short ttick;

// Shell.
const int PATH_LEN = 260;
extern int panelHandle;
extern char proj_dir[PATH_LEN], file_name[PATH_LEN], dir_fname[PATH_LEN];
// Room for a status text with its cause: which device, which system error, what to do.
const int STATUS_LEN = 256;
extern char szStatus[STATUS_LEN];

// The parameter-file dialog of get and send.
const char PARAMETER_FILE[] = "CONpara.dat";
const char PARAMETER_FILE_TYPES[] = "*.dat";
const char PARAMETER_FILE_TITLE[] = "KEL-VA-RO Parameter File";
const char CORRECTION_FILE[] = "CONconfig.dat";

// strcpy that never runs past the buffer: the status texts come from the line too.
template <size_t N> void CopyText(char (&dest)[N], const char *text) {
    std::strncpy(dest, text, N - 1);
    dest[N - 1] = '\0';
}

void InitVars(void);
// Builds the correction table from the file at path and, when it came whole, programs it into
// flash pages 4 to 7; the status line tells how it went.
void ProgramCorrectionTable(const char *path);
// What the window does before the line check: the working folder, the defaults on the panel, the
// start-up port chosen and shown in the ring.
void PrepareStartUp(void);
// The one busy check of the window's entry points: command runs now when the line is free, in the
// gap between two live answers during a run, and is refused (refused gets why) while another
// exchange waits for its answer.
void WhenLineFree(const std::function<void()> &command,
                  const std::function<void(const Outcome &)> &refused);
void ShowInfoText(const char *text, int left, int top, int size);
// Binds the callbacks that the panel file names; before LoadPanel.
void RegisterCallbacks(void);

int CC_PANEL(int panel, int event, void *callbackData, int eventData1, int eventData2);
int CC_Timer50ms(int panel, int control, int event, void *callbackData, int eventData1,
                 int eventData2);
int CC_RBTRam(int panel, int control, int event, void *callbackData, int eventData1,
              int eventData2);
int CC_RBTEeprom(int panel, int control, int event, void *callbackData, int eventData1,
                 int eventData2);
int CC_RBTFile(int panel, int control, int event, void *callbackData, int eventData1,
               int eventData2);
int CC_DropDCom(int panel, int control, int event, void *callbackData, int eventData1,
                int eventData2);
int CC_TogButtonParaII(int panel, int control, int event, void *callbackData, int eventData1,
                       int eventData2);
int CC_BTNRun(int panel, int control, int event, void *callbackData, int eventData1,
              int eventData2);
int CC_BTNStop(int panel, int control, int event, void *callbackData, int eventData1,
               int eventData2);
int CC_RNGGraphSource(int panel, int control, int event, void *callbackData, int eventData1,
                      int eventData2);
int CC_ButtonTeach(int panel, int control, int event, void *callbackData, int eventData1,
                   int eventData2);
int CC_ButtonReset(int panel, int control, int event, void *callbackData, int eventData1,
                   int eventData2);
int CC_BTNGet(int panel, int control, int event, void *callbackData, int eventData1,
              int eventData2);
int CC_BTNSend(int panel, int control, int event, void *callbackData, int eventData1,
               int eventData2);
int CC_BTNData(int panel, int control, int event, void *callbackData, int eventData1,
               int eventData2);

} // namespace kelvaro

// The program's entry, called by the process entry with its arguments; returns the exit code.
int WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, char *lpszCmdLine, int nCmdShow);
