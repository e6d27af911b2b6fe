// The Compare window. Its reads are get's exchanges, but they fill their column only and say how
// they went there: opening it never overwrites what the operator has on the panel, nor the main
// status line. Taking a column puts it on the panel; the controller is written only by Send, as
// always.
#include "compare_view.h"

#include "KELVARO1V10.h"
#include "com232.h"
#include "gui.h"
#include "journal.h"
#include "parameter_words.h"
#include "readings.h"
#include "set_files.h"

#include "comparewindow.h"
#include "filedialog.h"
#include "panel.h"

#include <algorithm>
#include <ctime>
#include <string>

namespace kelvaro {

namespace {

enum Column { PANEL_COLUMN, RAM_COLUMN, EEPROM_COLUMN, FILE_COLUMN, COLUMNS };

const CompareColumnSpec COLUMN_SPECS[COLUMNS] = {{"Panel", nullptr, 0},
                                                 {"RAM", "Read &RAM", 1},
                                                 {"EEPROM", "Read &EEPROM", 1},
                                                 {"File", "&Load file\u2026", 1}};

Words shown[COLUMNS];
bool held[COLUMNS];

std::string Clock(void) {
    return LocalTimeText("%H:%M:%S", std::time(nullptr));
}

void Show(int column, const std::string &note) {
    held[column] = true;
    SetCompareColumn(column, shown[column].data(), note.c_str());
}

void Empty(int column, const std::string &why) {
    held[column] = false;
    SetCompareColumn(column, nullptr, why.c_str());
}

// What the panel shows now, without reading it into the variables.
void ShowPanel(void) {
    for (int i = 0; i < PNUM; ++i) {
        shown[PANEL_COLUMN][i] = *PARAMETER_WORDS[i].variable;
        if (PARAMETER_WORDS[i].control)
            GetCtrlVal(panelHandle, PARAMETER_WORDS[i].control, &shown[PANEL_COLUMN][i]);
    }
    Show(PANEL_COLUMN, "on the panel at " + Clock());
}

// A read of the controller: now, after the next live answer during a run, or refused while
// another exchange waits.
void Read(int column) {
    const int target = column == RAM_COLUMN ? RAM : EEPROM;
    WhenLineFree(
        [column, target] {
            CopyVarsToPP();
            const Outcome set = ReadSet(target, Image(), GET_TEXTS, nullptr);
            if (!set.ok()) {
                Empty(column, StatusOf(set));
                return;
            }
            std::copy(set.words.begin(), set.words.end(), shown[column].begin());
            JournalSetRead(target, shown[column].data());
            Show(column, "read at " + Clock());
        },
        [column](const Outcome &refusal) { Empty(column, StatusOf(refusal)); });
}

void Load(void) {
    char path[PATH_LEN];
    if (FileSelectPopup(proj_dir, PARAMETER_FILE, PARAMETER_FILE_TYPES, PARAMETER_FILE_TITLE,
                        VAL_LOAD_BUTTON, 0, 1, 1, 1, path) <= 0)
        return;
    std::string why;
    if (ReadParameterFile(path, shown[FILE_COLUMN], &why))
        Show(FILE_COLUMN, FileNameOf(path));
    else
        Empty(FILE_COLUMN, why);
}

void Take(int column) {
    if (!held[column])
        return;
    TakeParameterWords(shown[column]);
    SetPanelValues();
    ShowPanel();
    ShowStatus((std::string("Compare: the set of ") + COLUMN_SPECS[column].title +
                " is on the panel; Send writes it")
                   .c_str());
}

void Pressed(int action, int column, void *) {
    if (action == COMPARE_TAKE)
        Take(column);
    else if (column == FILE_COLUMN)
        Load();
    else
        Read(column);
    if (action == COMPARE_FETCH)
        ShowPanel();
}

} // namespace

int CC_MenuCompare(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT)
        return 0;
    const char *labels[PNUM];
    for (int i = 0; i < PNUM; ++i)
        labels[i] = PARAMETER_WORDS[i].label;
    ShowCompareWindow(labels, PNUM, COLUMN_SPECS, COLUMNS, Pressed, nullptr);
    ShowPanel();
    Read(RAM_COLUMN);
    Read(EEPROM_COLUMN);
    if (!held[FILE_COLUMN])
        Empty(FILE_COLUMN, "no file loaded");
    return 0;
}

} // namespace kelvaro
