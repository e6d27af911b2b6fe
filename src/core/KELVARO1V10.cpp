// The main module: the program's state, start-up and shutdown, and the panel's callbacks.
#include "KELVARO1V10.h"

#include "com232.h"
#include "command_line.h"
#include "commands.h"
#include "compare_view.h"
#include "data_out.h"
#include "frame_log.h"
#include "gui.h"
#include "journal.h"
#include "panel_ids.h"
#include "parameter_words.h"
#include "readings.h"
#include "recording.h"

#include "filedialog.h"
#include "panel.h"
#include "serial.h"
#include "start.h"
#include "utility.h"

#include <cstdio>
#include <deque>

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

int flashp4[256], flashp5[256], flashp6[256], flashp7[256];

int stop_flag = 1;
int graphrefresh = 0;
int type = 1;
unsigned short ttick;

int panelHandle;
char proj_dir[PATH_LEN], file_name[PATH_LEN], dir_fname[PATH_LEN];
char szStatus[STATUS_LEN] = "InitVars";

namespace {

const unsigned short TTICK_MAX = 60000;

// Commands the operator asked for during a live run, for the gap after its next answer.
std::deque<std::function<void()>> waitingCommands;
// Answers of this run that were not taken.
long droppedAnswers = 0;

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

void RunWaitingCommands(void) {
    while (!waitingCommands.empty()) {
        const std::function<void()> command = waitingCommands.front();
        waitingCommands.pop_front();
        command();
    }
}

// The line is busy: said in the status line.
void ShowRefusal(const Outcome &refusal) {
    ShowOutcome(refusal);
}

// A set read from target, into the image, the variables and the journal's memory.
void TakeSetRead(int target, const Outcome &set) {
    RX_Receive_Function(set);
    JournalSetRead(target, pp);
    CopyPPtoVars();
}

// Get from the controller: the request carries the variables as they are, the answer replaces
// them, and the panel shows them after an answer and after a time-out alike. A read error and a
// device that went away change nothing.
void GetFromController(int target) {
    CopyVarsToPP();
    const Outcome set = ReadSet(target, Image(), GET_TEXTS, ShowStatus);
    if (set.ok())
        TakeSetRead(target, set);
    if (set.ok() || set.code == OUTCOME_NO_ANSWER || set.code == OUTCOME_NOT_SENT)
        SetPanelValues();
    ShowOutcome(set);
}

// Send: the panel's set into RAM or EEPROM, once the journal has it.
void SendToController(int target) {
    GetPanelValues();
    CopyVarsToPP();
    const Words words = Image();
    ShowOutcome(JournaledWrite({JOURNAL_SEND, target, pp, ""},
                               [target, &words] { return WriteSet(target, words, ShowStatus); }));
}

// Teach or reset with the panel's set, then the set read back from RAM onto the panel.
void TeachOrResetFromPanel(int code) {
    GetPanelValues();
    CopyVarsToPP();
    const Words image = Image();
    const Outcome done =
        JournaledWrite({code == ORDER_TEACH ? JOURNAL_TEACH : JOURNAL_RESET, RAM, pp, ""},
                       [code, &image] { return TeachOrReset(code, image, ShowStatus); });
    if (done.ok()) {
        TakeSetRead(RAM, done);
        SetPanelValues();
    }
    ShowOutcome(done);
}

// Each answer of a live run: plotted on the chart the ring chose, recorded; one that was not
// taken is counted and said.
void LiveAnswer(const Outcome &answer, double secondsIntoRun) {
    if (!answer.ok()) {
        ++droppedAnswers;
        ShowStatus((StatusOf(answer) + "; " + std::to_string(droppedAnswers) +
                    (droppedAnswers == 1 ? " answer" : " answers") + " of this run dropped")
                       .c_str());
        return;
    }
    RX_Receive_Function(answer);
    if (graphrefresh == 1) {
        if (type == 0)
            PlotRAWValues();
        else
            PlotNORMValues(arrayNORM);
        graphrefresh = 0;
        PanelLiveAnswer(secondsIntoRun);
    }
}

// The live run of the Run button, until Stop, a time-out or the device going away. Returns the
// run's last status text, or nullptr when it ended as asked.
const char *RunLiveMonitor(void) {
    CopyVarsToPP();
    rx_flag = 0;
    order = ORDER_LIVE_VALUES;
    stop_flag = 0;
    graphrefresh = 0;
    droppedAnswers = 0;
    FillarrayNORM(tolerance, reference, 0);
    LiveRun run;
    run.image = [] {
        CopyVarsToPP();
        return Image();
    };
    run.answer = LiveAnswer;
    run.commandsWaiting = [] { return !waitingCommands.empty(); };
    run.between = RunWaitingCommands;
    run.stopped = [] { return stop_flag != 0; };
    run.steps = ShowStatus;
    const Outcome ended = RunLive(run);
    const char *ending = nullptr;
    if (ended.code != OUTCOME_STOPPED) {
        CopyText(szStatus, StatusOf(ended).c_str());
        ShowStatus(szStatus);
        ending = szStatus;
        stop_flag = 1;
    }
    rx_flag = 0;
    DiscardLine();
    graphrefresh = 0;
    return ending;
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

void WhenLineFree(const std::function<void()> &command,
                  const std::function<void(const Outcome &)> &refused) {
    if (LiveRunActive())
        waitingCommands.push_back(command);
    else if (LineBusyWith())
        refused(LineBusyRefusal());
    else
        command();
}

void ProgramCorrectionTable(const char *path) {
    if (ReadCorrData(path) >= 0)
        WhenLineFree([] { SendCorrDataToFlash(); }, ShowRefusal);
}

void PrepareStartUp(void) {
    GetProjectDir(proj_dir);
    InitVars();
    com = StartUpPort();
    SetCtrlVal(panelHandle, PANEL_DROPDCOM, com);
}

void InitVars(void) {
    for (const ParameterWord &word : PARAMETER_WORDS)
        *word.variable = word.defaultValue;

    ref10Bit = 2048;
    tol10Bit = 512;

    const Indicators start = StartingIndicators(reference, tolerance);
    refTHD = start.refTHD;
    upTHD = start.upTHD;
    lowTHD = start.lowTHD;

    com = 1;
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

// The ring commits after every pick, a changed value or not: acting on the value change as well
// would run the start-up twice.
int CC_DropDCom(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    if (LineOpening()) {
        // The ring stays usable while a server is reached: another port picked abandons that
        // opening, and the start-up runs on the port picked instead.
        int picked = com;
        GetCtrlVal(panelHandle, PANEL_DROPDCOM, &picked);
        if (picked != com) {
            CloseCom(com);
            com = picked;
        }
        return 0;
    }
    WhenLineFree(
        [] {
            CloseCom(com);
            GetCtrlVal(panelHandle, PANEL_DROPDCOM, &com);
            ShowStatus("Init COM-Port ...");
            InitRS232(com);
        },
        [](const Outcome &refusal) {
            // The port in use stays: the ring says so again.
            SetCtrlVal(panelHandle, PANEL_DROPDCOM, com);
            ShowRefusal(refusal);
        });
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
    if (event != EVENT_COMMIT)
        return 0;
    if (LineBusyWith()) {
        ShowRefusal(LineBusyRefusal());
        return 0;
    }
    // A run the operator wanted recorded does not start unrecorded.
    if (!PrepareRecording())
        return 0;
    SetCtrlAttribute(panelHandle, PANEL_GRAPH, ATTR_VISIBLE, 0);
    SetCtrlAttribute(panelHandle, PANEL_BTNRUN, ATTR_DIMMED, 1);
    SetCtrlAttribute(panelHandle, PANEL_BTNDATA, ATTR_DIMMED, 1);
    SelectGraphSource();
    EndRunRecording(RunLiveMonitor());
    SetCtrlAttribute(panelHandle, PANEL_BTNRUN, ATTR_DIMMED, 0);
    // What was asked for as the run ended runs now.
    if (!UserInterfaceQuitting())
        RunWaitingCommands();
    waitingCommands.clear();
    return 0;
}

int CC_BTNStop(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    rx_flag = 0;
    DiscardLine();
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
        WhenLineFree([] { TeachOrResetFromPanel(ORDER_TEACH); }, ShowRefusal);
    return 0;
}

int CC_ButtonReset(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT)
        WhenLineFree([] { TeachOrResetFromPanel(ORDER_RESET); }, ShowRefusal);
    return 0;
}

int CC_BTNGet(int, int, int event, void *, int, int) {
    if (event == EVENT_LEFT_CLICK) {
        ShowStatus("Receive...");
    } else if (event == EVENT_COMMIT) {
        if (target != DATFILE) {
            const int from = target;
            WhenLineFree([from] { GetFromController(from); }, ShowRefusal);
        } else if (ReadParaFromFile() >= 0) {
            SetPanelValues();
        }
    }
    return 0;
}

// Acts when the mouse button goes down, as the operator expects of this button.
int CC_BTNSend(int, int, int event, void *, int, int) {
    if (event != EVENT_LEFT_CLICK)
        return 0;
    ShowStatus("Transmit...");
    if (target == DATFILE) {
        SendToFile();
    } else {
        const int to = target;
        WhenLineFree([to] { SendToController(to); }, ShowRefusal);
    }
    return 0;
}

namespace {

// The curve of the ring's source block by block onto the graph, with the live values of the
// moment.
void CaptureCurve(void) {
    // The live-frame wait processes events: a second press must not start a capture inside this
    // one.
    SetCtrlAttribute(panelHandle, PANEL_BTNDATA, ATTR_DIMMED, 1);
    SetCtrlAttribute(panelHandle, PANEL_RAWCHART, ATTR_VISIBLE, 0);
    SetCtrlAttribute(panelHandle, PANEL_NORMCHART, ATTR_VISIBLE, 0);
    SetCtrlAttribute(panelHandle, PANEL_GRAPH, ATTR_VISIBLE, 1);
    int source = 0;
    GetCtrlVal(panelHandle, PANEL_RNGGRAPHSOURCE, &source);
    const int blocks = source == 1 ? 2 : 4;
    for (int block = 0; block < blocks; ++block) {
        order = ORDER_DATA_BLOCK;
        ReadData64(block * BLOCK_WORDS, source, order);
    }
    // The live values of the moment of the capture: pp goes out as the last answer left it.
    rx_flag = 0;
    order = ORDER_LIVE_VALUES;
    const Outcome live = ReadLiveValues(Image());
    if (live.ok())
        RX_Receive_Function(live);
    PlotCapture();
    CurveCaptured(source);
    SetCtrlAttribute(panelHandle, PANEL_BTNDATA, ATTR_DIMMED, 0);
    DiscardLine();
}

} // namespace

int CC_BTNData(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT)
        WhenLineFree(CaptureCurve, ShowRefusal);
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
    StartFrameLog(ShowStatus);
    std::string why;
    if (FrameLogPath() && !OpenFrameLogFile(FrameLogPath(), &why)) {
        std::fprintf(stderr, "kelvaro: %s\n", why.c_str());
        ShowStatus(why.c_str());
    }
    // A server may take seconds to answer: the window shows meanwhile.
    if (ComIsNetworkLine(com))
        DisplayPanel(panelHandle);
    InitRS232(com);
    DisplayPanel(panelHandle);
    RunUserInterface();
    CloseLine();
    CloseFrameLogFile();
    DiscardPanel(panelHandle);
    return 0;
}
