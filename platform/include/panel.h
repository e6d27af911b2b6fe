// Panel service: the panel loaded from its file, its controls by number, their values and
// attributes, the callbacks and the event loop.
#pragma once

#include <stddef.h>

enum PanelEvent {
    EVENT_COMMIT = 1,
    EVENT_VAL_CHANGED = 2,
    EVENT_LEFT_CLICK = 3,
    EVENT_GOT_FOCUS = 8,
    EVENT_LOST_FOCUS = 9,
    EVENT_CLOSE = 11,
    EVENT_TIMER_TICK = 15,
};

enum PanelAttribute {
    ATTR_DIMMED = 500,
    ATTR_VISIBLE = 530,
    ATTR_LABEL_TEXT = 540, // a button's text, its underlined letter marked with '&'
    ATTR_TEXT_COLOR = 680,
    ATTR_TEXT_FONT = 682,
    ATTR_TEXT_POINT_SIZE = 686,
    ATTR_TEXT_BGCOLOR = 690,
    ATTR_SCROLL_MODE = 1088,
    ATTR_NUM_TRACES = 1170,
    ATTR_POINTS_PER_SCREEN = 1171,
    ATTR_YNAME = 1093,
    ATTR_ENABLED = 1271,
    // A strip chart holds the picture it shows (1), or shows the present window again (0).
    ATTR_CHART_FROZEN = 1300,
};

enum CtrlStyle { CTRL_TEXT_MSG = 160 };

// Negative results of the panel operations.
enum PanelError {
    UIE_NO_APPLICATION = -1,
    UIE_PANEL_FILE = -2, // missing, unreadable or not a panel file
    UIE_RESOURCE = -3,   // no panel with that resource id, or a control defined twice
    UIE_CALLBACK = -4,   // the file names a callback the program has not registered
    UIE_PANEL_HANDLE = -5,
    UIE_CONTROL_ID = -6,
    UIE_ATTRIBUTE = -7,  // attribute not valid for the control
    UIE_VALUE_TYPE = -8, // value not valid for the control
    UIE_FILE_WRITE = -9,
};

typedef int (*PanelCallbackPtr)(int panel, int event, void *callbackData, int eventData1,
                                int eventData2);
typedef int (*CtrlCallbackPtr)(int panel, int control, int event, void *callbackData,
                               int eventData1, int eventData2);

// Callbacks are named in the panel file and bound to these registrations when it is loaded.
void RegisterPanelCallback(const char *name, PanelCallbackPtr callback);
void RegisterCtrlCallback(const char *name, CtrlCallbackPtr callback);

// A relative file name is taken from the program's directory. Returns the panel handle (> 0);
// UIE_NO_APPLICATION, UIE_PANEL_FILE, UIE_RESOURCE or UIE_CALLBACK, with LastPanelError saying why.
int LoadPanel(int parentPanel, const char *fileName, int resourceId);
// Why the last LoadPanel or SaveCtrlDisplayToFile failed (the file and the system's words);
// "" after a successful LoadPanel.
const char *LastPanelError(void);
// Shows the panel. Returns 0 or UIE_PANEL_HANDLE.
int DisplayPanel(int panel);
// Destroys the panel and its controls. Returns 0 or UIE_PANEL_HANDLE.
int DiscardPanel(int panel);

// Runs the callbacks until QuitUserInterface. Returns its code, or UIE_NO_APPLICATION.
int RunUserInterface(void);
// Ends RunUserInterface (at once when it is not running yet: it then returns at its start).
// Returns 0.
int QuitUserInterface(int returnCode);
// 1 from QuitUserInterface (or a stop signal) until RunUserInterface has returned: a loop of the
// program's own that runs without the event loop ends then; else 0.
int UserInterfaceQuitting(void);
// Runs what is pending (input, serial data, due timers, repaints) and returns at once. Returns 0,
// or UIE_NO_APPLICATION.
int ProcessSystemEvents(void);
// Runs what is pending; when nothing is, sleeps until the next event or until Timer() reaches
// deadline, whichever comes first. Returns 0, or UIE_NO_APPLICATION.
int ProcessSystemEventsUntil(double deadline);

// The items of the panel's menu bar are controls too: choosing one commits (a checkable one
// changes its value first, 1 when checked), and ATTR_DIMMED and ATTR_VISIBLE apply to them.

// The control's value: a number of the control's type, or the text of a text control. Return 0;
// UIE_PANEL_HANDLE, UIE_CONTROL_ID, or UIE_VALUE_TYPE for a control without such a value.
int GetCtrlVal(int panel, int control, unsigned short *value);
int GetCtrlVal(int panel, int control, int *value);
int GetCtrlVal(int panel, int control, char *text, size_t size);
// Sets the value without raising an event. Return 0; UIE_PANEL_HANDLE, UIE_CONTROL_ID, or
// UIE_VALUE_TYPE for a value the control can't show (a ring item that does not exist).
int SetCtrlVal(int panel, int control, int value);
int SetCtrlVal(int panel, int control, const char *text);
// Return 0; UIE_PANEL_HANDLE, UIE_CONTROL_ID, UIE_ATTRIBUTE (not one of this control's) or
// UIE_VALUE_TYPE.
int SetCtrlAttribute(int panel, int control, int attribute, int value);
int SetCtrlAttribute(int panel, int control, int attribute, const char *value);
// A text message (style CTRL_TEXT_MSG) at top, left. Returns the new control's number;
// UIE_PANEL_HANDLE or UIE_VALUE_TYPE (another style).
int NewCtrl(int panel, int style, const char *label, int top, int left);
// Writes control as it is shown now to fileName, a PNG or SVG picture by the name's extension
// (".png", ".svg", any letter case); height and width -1 keep the control's own size, others
// scale the picture to theirs. Returns 0; UIE_PANEL_HANDLE, UIE_CONTROL_ID, UIE_VALUE_TYPE
// (another extension, or a size below 1 or too large to draw) or UIE_FILE_WRITE (the file could
// not be written, LastPanelError saying why; an old one stays whole).
int SaveCtrlDisplayToFile(int panel, int control, int includeLabel, int height, int width,
                          const char *fileName);
