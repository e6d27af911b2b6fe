// What the platform's own files share; the program never includes this.
#pragma once

#include <QByteArray>
#include <QString>

class QWidget;

// SIGTERM, SIGINT and SIGHUP then close the panels as the window's close does.
void InstallStopSignals();
// True from QuitUserInterface until RunUserInterface has returned: nothing may wait for the
// operator then.
bool QuitRequested();
// The window's close (11) to every panel that has a callback; without one the loop just ends.
void DeliverCloseToPanels();
// Replaces path with bytes only once all of them are on the disk; an old file stays whole when
// that fails. Returns true, or false with error saying why.
bool SaveFileWhole(const QString &path, const QByteArray &bytes, QString *error);
// What LastPanelError says next.
void SetLastPanelError(const QString &why);
// nullptr when the panel or control does not exist; error then says which (a PanelError).
QWidget *PanelControlWidget(int panel, int control, int *error = nullptr);
