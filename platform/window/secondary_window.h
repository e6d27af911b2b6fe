// Windows beside the panel (Compare, the frame log, the manual): each opens over the panel, sized
// to its content within the screen, closes on Esc, and keeps its size and place in the settings.
#pragma once

class QWidget;

// Makes window one of them, its size and place kept under name.
void MakeSecondaryWindow(QWidget *window, const char *name);
// Shows it raised and active: where the operator left it, else centred over the panel at the size
// its content asks for, within the screen.
void ShowSecondaryWindow(QWidget *window);
