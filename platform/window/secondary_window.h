// Windows beside the panel (Compare, the frame log, the manual): each opens over the panel, sized
// to its content within the screen, closes on Esc, and keeps its size and place in the settings.
#pragma once

#include "panel.h"

#include <QApplication>
#include <QPointer>

class QPushButton;
class QString;

// Makes window one of them, with its title; name (e.g. "COMPARE") is its object name, and its
// size and place are kept under the name in lower case.
void MakeSecondaryWindow(QWidget *window, const char *name, const QString &title);
// Shows it raised and active: where the operator left it, else centred over the panel at the size
// its content asks for, within the screen.
void ShowSecondaryWindow(QWidget *window);

// Shows the one window of its kind, made on first call. Returns 0, or UIE_NO_APPLICATION.
template <typename Window> int ShowTheWindow(QPointer<Window> &window) {
    if (!QApplication::instance())
        return UIE_NO_APPLICATION;
    if (!window)
        window = new Window;
    ShowSecondaryWindow(window);
    return 0;
}

// A button of such a window, named for the tests and the accessibility tools, that Enter in
// another field does not press.
QPushButton *NewWindowButton(const QString &label, const char *name, QWidget *window);
