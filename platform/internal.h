// What the platform's own files share; the program never includes this.
#pragma once

class QWidget;

// SIGTERM and SIGINT then close the panels as the window's close does.
void InstallStopSignals();
// The window's close (11) to every panel that has a callback; without one the loop just ends.
void DeliverCloseToPanels();
// nullptr when the panel or control does not exist; error then says which (a PanelError).
QWidget *PanelControlWidget(int panel, int control, int *error = nullptr);
