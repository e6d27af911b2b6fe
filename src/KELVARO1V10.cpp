// The main module: the program's state, start-up and shutdown, and the panel's callbacks.
#include "KELVARO1V10.h"

#include "com232.h"
#include "command_line.h"
#include "commands.h"
#include "compare_view.h"
#include "data_out.h"
#include "frame_log.h"
#include "gui.h"
#include "panel_ids.h"
#include "recording.h"

#include "filedialog.h"
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
char szStatus[STATUS_LEN] = "InitVars";

namespace {

const unsigned short TTICK_MAX = 60000;

// Shows the chart the ring names; later plots go to it.
void SelectGraphSource(void) {
    int source = 0;
    GetCtrlVal(panelHandle, PANEL_RNGGRAPHSOURCE, &source);
    type = source == 0 ? 0 : 1;
    SetCtrlAttribute(panelHandle, PANEL_RAWCHART, ATTR_VISIBLE, type == 0);
    SetCtrlAttribute(panelHandle, PANEL_NORMCHART, ATTR_VISIBLE, type != 0);
}

// Ticks one target button, unticks the other two.
void TickTarget(int ticked, int newTarget) {
    const int buttons[] = {PANEL_RBTRAM, PANEL_RBTEEPROM, PANEL_RBTFILE};
    for (int button : buttons)
        SetCtrlVal(panelHandle, button, button == ticked ? 1 : 0);
    target = newTarget;
}

// A target button that is unticked hands the target back to RAM.
int TargetButtonChanged(int button, int event, int buttonTarget) {
    if (event != EVENT_VAL_CHANGED)
        return 0;
    int ticked = 0;
    GetCtrlVal(panelHandle, button, &ticked);
    if (ticked) {
        TickTarget(button, buttonTarget);
    } else {
        target = RAM;
        SetCtrlVal(panelHandle, PANEL_RBTRAM, 1);
    }
    return 0;
}

// Choosing the correction file in the program's directory programs the flash instead.
// The correction file is read, never replaced: only a parameter file that exists needs the
// operator's leave to be saved over.
void SendToFile(void) {
    const int chosen = FileSelectPopup(proj_dir, PARAMETER_FILE, PARAMETER_FILE_TYPES,
                                       PARAMETER_FILE_TITLE, VAL_OK_BUTTON, 0, 1, 1, 1, file_name);
    if (chosen <= 0)
        return;
    GetFullPathFromProject(CORRECTION_FILE, dir_fname);
    if (SameFile(file_name, dir_fname)) {
        ProgramCorrectionTable(dir_fname);
        return;
    }
    if (MayWriteChosenFile(chosen, PARAMETER_FILE_TITLE, file_name))
        SendParaToFile();
}

} // namespace

RunEnding RunLive(void (*eachAnswer)(double secondsIntoRun)) {
    const double started = Timer();
    if (SendLiveRequest())
        ShowStatus("Line Ok!");
    stop_flag = 0;
    graphrefresh = 0;
    FillarrayNORM(tolerance, reference, 0);
    // Each answer is plotted, then answered at once with the next request: the controller sets
    // the pace.
    int answered = 0;
    while ((answered = AwaitAnswer(GET_TIMEOUT_S, &stop_flag)) == 1) {
        if (graphrefresh == 1) {
            if (type == 0)
                PlotRAWValues();
            else
                PlotNORMValues(arrayNORM);
            graphrefresh = 0;
            eachAnswer(Timer() - started);
        }
        SendLiveRequest();
    }
    // A device that went away has said so already; the run ends as after its time-out.
    RunEnding ending = RUN_STOPPED;
    if (stop_flag == 0) {
        ending = answered == DEVICE_GONE ? RUN_DEVICE_GONE : RUN_TIMED_OUT;
        if (ending == RUN_TIMED_OUT)
            CopyText(szStatus, NoAnswerText("Timeout RS232-Line!", GET_TIMEOUT_S).c_str());
        ShowStatus(szStatus);
        stop_flag = 1;
    }
    rx_flag = 0;
    FlushQueues(com);
    graphrefresh = 0;
    return ending;
}

void ProgramCorrectionTable(const char *path) {
    if (ReadCorrData(path) >= 0)
        SendCorrDataToFlash();
}

void PrepareStartUp(void) {
    GetProjectDir(proj_dir);
    InitVars();
    com = StartUpPort();
    SetCtrlVal(panelHandle, PANEL_DROPDCOM, com);
}

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
    ShowStatus(szStatus);

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
    if (event == EVENT_CLOSE) {
        // A live run loops inside its own callback: end it, or the close would wait for Stop.
        stop_flag = 1;
        QuitUserInterface(0);
    }
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

int CC_RBTRam(int, int, int event, void *, int, int) {
    return TargetButtonChanged(PANEL_RBTRAM, event, RAM);
}

int CC_RBTEeprom(int, int, int event, void *, int, int) {
    return TargetButtonChanged(PANEL_RBTEEPROM, event, EEPROM);
}

int CC_RBTFile(int, int, int event, void *, int, int) {
    return TargetButtonChanged(PANEL_RBTFILE, event, DATFILE);
}

int CC_DropDCom(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT && event != EVENT_VAL_CHANGED)
        return 0;
    CloseCom(com);
    GetCtrlVal(panelHandle, PANEL_DROPDCOM, &com);
    ShowStatus("Init COM-Port ...");
    InitRS232(com);
    return 0;
}

int CC_TogButtonParaII(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) {
        int paraII = 0;
        GetCtrlVal(panelHandle, PANEL_TOGBUTTONPARAII, &paraII);
    }
    return 0;
}

int CC_BTNRun(int, int, int event, void *, int, int) {
    // A run the operator wanted recorded does not start unrecorded.
    if (event != EVENT_COMMIT || !PrepareRecording())
        return 0;
    SetCtrlAttribute(panelHandle, PANEL_GRAPH, ATTR_VISIBLE, 0);
    SetCtrlAttribute(panelHandle, PANEL_BTNRUN, ATTR_DIMMED, 1);
    SetCtrlAttribute(panelHandle, PANEL_BTNDATA, ATTR_DIMMED, 1);
    SelectGraphSource();
    const RunEnding ending = RunLive(PanelLiveAnswer);
    StopRecording(ending == RUN_STOPPED ? nullptr : szStatus);
    SetCtrlAttribute(panelHandle, PANEL_BTNRUN, ATTR_DIMMED, 0);
    return 0;
}

int CC_BTNStop(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    rx_flag = 0;
    FlushQueues(com);
    stop_flag = 1;
    graphrefresh = 0;
    SetCtrlAttribute(panelHandle, PANEL_BTNRUN, ATTR_DIMMED, 0);
    SetCtrlAttribute(panelHandle, PANEL_BTNDATA, ATTR_DIMMED, 0);
    SetCtrlAttribute(panelHandle, PANEL_TIMER50MS, ATTR_ENABLED, 0);
    FillarrayRAW(0, 0);
    FillarrayNORM(tol10Bit, ref10Bit, 0);
    return 0;
}

int CC_RNGGraphSource(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT)
        SelectGraphSource();
    return 0;
}

int CC_ButtonTeach(int, int, int event, void *, int, int) {
    if (event == EVENT_LEFT_CLICK)
        ShowStatus("Teach new Reference-Value ...");
    else if (event == EVENT_COMMIT)
        SendCommandAndReadBack(ORDER_TEACH);
    return 0;
}

int CC_ButtonReset(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT)
        SendCommandAndReadBack(ORDER_RESET);
    return 0;
}

int CC_BTNGet(int, int, int event, void *, int, int) {
    if (event == EVENT_LEFT_CLICK) {
        ShowStatus("Receive...");
    } else if (event == EVENT_COMMIT) {
        if (target != DATFILE)
            GetFromController(target);
        else if (ReadParaFromFile() >= 0)
            SetPanelValues();
    }
    return 0;
}

// Acts when the mouse button goes down, as the operator expects of this button.
int CC_BTNSend(int, int, int event, void *, int, int) {
    if (event != EVENT_LEFT_CLICK)
        return 0;
    ShowStatus("Transmit...");
    if (target == DATFILE)
        SendToFile();
    else
        SendToController(target);
    return 0;
}

int CC_BTNData(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    // The live-frame wait processes events: a second press must not start a capture inside this
    // one.
    SetCtrlAttribute(panelHandle, PANEL_BTNDATA, ATTR_DIMMED, 1);
    SetCtrlAttribute(panelHandle, PANEL_RAWCHART, ATTR_VISIBLE, 0);
    SetCtrlAttribute(panelHandle, PANEL_NORMCHART, ATTR_VISIBLE, 0);
    SetCtrlAttribute(panelHandle, PANEL_GRAPH, ATTR_VISIBLE, 1);
    int source = 0;
    GetCtrlVal(panelHandle, PANEL_RNGGRAPHSOURCE, &source);
    CaptureCurve(source);
    PlotCapture();
    CurveCaptured(source);
    SetCtrlAttribute(panelHandle, PANEL_BTNDATA, ATTR_DIMMED, 0);
    FlushQueues(com);
    return 0;
}

void RegisterCallbacks(void) {
    RegisterPanelCallback("CC_PANEL", CC_PANEL);
    RegisterCtrlCallback("CC_Timer50ms", CC_Timer50ms);
    RegisterCtrlCallback("CC_RBTRam", CC_RBTRam);
    RegisterCtrlCallback("CC_RBTEeprom", CC_RBTEeprom);
    RegisterCtrlCallback("CC_RBTFile", CC_RBTFile);
    RegisterCtrlCallback("CC_DropDCom", CC_DropDCom);
    RegisterCtrlCallback("CC_TogButtonParaII", CC_TogButtonParaII);
    RegisterCtrlCallback("CC_BTNRun", CC_BTNRun);
    RegisterCtrlCallback("CC_BTNStop", CC_BTNStop);
    RegisterCtrlCallback("CC_RNGGraphSource", CC_RNGGraphSource);
    RegisterCtrlCallback("CC_ButtonTeach", CC_ButtonTeach);
    RegisterCtrlCallback("CC_ButtonReset", CC_ButtonReset);
    RegisterCtrlCallback("CC_BTNGet", CC_BTNGet);
    RegisterCtrlCallback("CC_BTNSend", CC_BTNSend);
    RegisterCtrlCallback("CC_BTNData", CC_BTNData);
    RegisterCtrlCallback("CC_TogRecord", CC_TogRecord);
    RegisterCtrlCallback("CC_TogFreeze", CC_TogFreeze);
    RegisterCtrlCallback("CC_MenuExportCurve", CC_MenuExportCurve);
    RegisterCtrlCallback("CC_MenuExportChart", CC_MenuExportChart);
    RegisterCtrlCallback("CC_MenuQuit", CC_MenuQuit);
    RegisterCtrlCallback("CC_MenuFrameLog", CC_MenuFrameLog);
    RegisterCtrlCallback("CC_MenuAbout", CC_MenuAbout);
    RegisterCtrlCallback("CC_MenuProgramTable", CC_MenuProgramTable);
    RegisterCtrlCallback("CC_MenuManual", CC_MenuManual);
    RegisterCtrlCallback("CC_MenuCompare", CC_MenuCompare);
}

} // namespace kelvaro

int WinMain(HINSTANCE hInstance, HINSTANCE, char *, int) {
    using namespace kelvaro;
    if (hInstance) {
        const int handled = HandleCommandLine(hInstance->argc, hInstance->argv);
        if (handled == START_COMMAND)
            return RunCommand(hInstance);
        if (handled != START_WINDOW)
            return handled;
    }
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
    PrepareStartUp();
    if (FrameLogPath() && !OpenFrameLogFile(FrameLogPath()))
        std::fprintf(stderr, "kelvaro: %s\n", szStatus);
    InitRS232(com);
    DisplayPanel(panelHandle);
    RunUserInterface();
    CloseCom(com);
    CloseFrameLogFile();
    DiscardPanel(panelHandle);
    return 0;
}
