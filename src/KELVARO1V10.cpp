// The main module: the program's state, start-up and shutdown, and the panel's callbacks.
#include "KELVARO1V10.h"

#include "com232.h"
#include "gui.h"
#include "panel_ids.h"

#include "panel.h"
#include "serial.h"
#include "start.h"
#include "utility.h"

#include <cstdio>

namespace kelvaro {

unsigned short power, reference, tolerance, hysteresis, polarity, hold, hwmode, average, evalmode,
    maxmode, triglvl, trigmode, sdelay, para13, para14, para15;

short refTHD, upTHD, lowTHD;
unsigned short ref10Bit, tol10Bit;

int valNORM;
unsigned short adcCHA, adcCHB, Amax, Bmax, UPval, LOval, tolval, btnval, valREF;
int upTHR, loTHR;

double arrayRAW[200];
double arrayNORM[400];
unsigned short xArray[256], yArrayA[256], yArrayB[256], upArray[256], loArray[256], refArray[256];

int vcorr[4096];
int flashp4[256], flashp5[256], flashp6[256], flashp7[256];

int stop_flag = 1;
int graphrefresh = 0;
int type = 1;
unsigned short ttick;
double tstart = 0.0;
double tdiff = 0.0;

int panelHandle;
char proj_dir[PATH_LEN], file_name[PATH_LEN], dir_fname[PATH_LEN];
char szStatus[66] = "InitVars";

namespace {

const unsigned short TTICK_MAX = 60000;

} // namespace

void InitVars(void) {
    power = 500;
    reference = 2048;
    tolerance = 512;
    hysteresis = 20;
    polarity = 1;
    hold = 100;
    hwmode = 1;
    average = 8;
    evalmode = 0;
    maxmode = 0;
    triglvl = 950;
    trigmode = 0;
    sdelay = 500;
    para13 = 0;
    para14 = 0;
    para15 = 0;

    ref10Bit = 2048;
    tol10Bit = 512;

    refTHD = static_cast<short>(reference);
    upTHD = static_cast<short>(static_cast<unsigned short>(reference + tolerance));
    if (upTHD > 4095)
        upTHD = 4095;
    lowTHD = static_cast<short>(static_cast<unsigned short>(reference - tolerance));
    if (lowTHD < 0)
        lowTHD = 0;

    com = 1;
    sync = 85;
    order = 1;
    target = RAM;
    type = 1;
    rx_flag = 1;
    stop_flag = 1;
    ttick = 0;

    CopyText(szStatus, "InitVars");
    ShowInfoText("KEL-VA-RO1-V1.0 ", 30, 19, 18);
    SetCtrlVal(panelHandle, PANEL_STATUS, szStatus);

    GetPanelValues();

    FillarrayRAW(0, 0);
    FillarrayNORM(tol10Bit, ref10Bit, 0);

    for (int i = 0; i < 256; ++i) {
        xArray[i] = static_cast<unsigned short>(i);
        yArrayA[i] = 0;
        yArrayB[i] = 0;
    }
}

void ShowInfoText(const char *text, int left, int top, int size) {
    const int control = NewCtrl(panelHandle, CTRL_TEXT_MSG, "", top, left);
    SetCtrlAttribute(panelHandle, control, ATTR_TEXT_FONT, "NIApp");
    SetCtrlAttribute(panelHandle, control, ATTR_TEXT_BGCOLOR, 0x0080FF);
    SetCtrlAttribute(panelHandle, control, ATTR_TEXT_COLOR, 0xFFFFFF);
    SetCtrlAttribute(panelHandle, control, ATTR_TEXT_POINT_SIZE, size);
    SetCtrlVal(panelHandle, control, text);
}

int CC_PANEL(int, int event, void *, int, int) {
    if (event == EVENT_CLOSE)
        QuitUserInterface(0);
    return 0;
}

int CC_Timer50ms(int, int, int event, void *, int, int) {
    if (event == EVENT_TIMER_TICK) {
        ++ttick;
        if (ttick > TTICK_MAX)
            ttick = TTICK_MAX;
    }
    return 0;
}

void RegisterCallbacks(void) {
    RegisterPanelCallback("CC_PANEL", CC_PANEL);
    RegisterCtrlCallback("CC_Timer50ms", CC_Timer50ms);
}

} // namespace kelvaro

int WinMain(HINSTANCE hInstance, HINSTANCE, char *, int) {
    using namespace kelvaro;
    if (InitCVIRTEEx(hInstance, nullptr, nullptr) == 0) {
        std::fprintf(stderr, "kelvaro: cannot open a display (is DISPLAY set?)\n");
        return -1;
    }
    RegisterCallbacks();
    panelHandle = LoadPanel(0, "KELVARO1V10.uir", PANEL);
    if (panelHandle < 0) {
        std::fprintf(stderr, "kelvaro: cannot load the panel: %s\n", LastPanelError());
        return -1;
    }
    GetProjectDir(proj_dir);
    InitVars();
    InitRS232(com);
    DisplayPanel(panelHandle);
    RunUserInterface();
    CloseCom(com);
    DiscardPanel(panelHandle);
    return 0;
}
