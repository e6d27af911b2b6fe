// Compare window service: parameter sets side by side, a column each, their rows named, the rows
// where the columns that hold values differ marked, and buttons that hand the operator's wish
// (fetch a column again, take it into the panel) to the program.
#pragma once

enum CompareAction {
    COMPARE_FETCH = 1, // the column's own button: read it again, or load it
    COMPARE_TAKE = 2,  // "Take into panel" under the column
};

struct CompareColumnSpec {
    const char *title;
    const char *fetchLabel; // its button's text ('&' before its letter); nullptr for none
    int takeable;           // 1: it has a "Take into panel" button
};

// Runs from the event loop when a button is pressed.
typedef void (*CompareCallback)(int action, int column, void *data);

// Shows the window (made on the first call, raised after) with rows named by rowLabels and the
// columns described. Returns 0, or UIE_NO_APPLICATION (panel.h).
int ShowCompareWindow(const char *const *rowLabels, int rows, const CompareColumnSpec *columns,
                      int count, CompareCallback callback, void *data);
// Shows values (one a row) in column with note under its title (where and when they came from);
// values nullptr empties the column, note saying why. Then marks the rows where the columns that
// hold values differ. Returns 0, or -1 when there is no window or no such column.
int SetCompareColumn(int column, const unsigned short *values, const char *note);
