// What the platform's own files share; the program never includes this.
#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

class QWidget;
struct pollfd;

// SIGTERM, SIGINT and SIGHUP then close the panels as the window's close does.
void InstallStopSignals();
// True from QuitUserInterface until RunUserInterface has returned: nothing may wait for the
// operator then.
bool QuitRequested();
// Adds the descriptors a source of the loop's events watches (with the events it waits for) to
// those a wait that polls by itself watches as well; the loop's events run when one is ready.
// The source says NoteLoopDescriptorsChanged when it watches other descriptors or events.
using LoopDescriptorSource = void (*)(std::vector<pollfd> &);
void AddLoopDescriptorSource(LoopDescriptorSource collect);
void NoteLoopDescriptorsChanged();
// True in a program without a window: its waits on lines poll by themselves (WaitOnLines).
bool LinesWaitedDirectly();
// Sleeps until one of lines has its events (their revents set), or until deadline, watching the
// loop's descriptors too and running the loop's events when one is ready and ten times a second
// for its timers. Returns what ppoll does.
int WaitOnLines(pollfd *lines, int count, double deadline);
// The window's close (11) to every panel that has a callback; without one the loop just ends.
void DeliverCloseToPanels();
// Replaces path with bytes only once all of them are on the disk; an old file stays whole when
// that fails. Returns true, or false with error saying why.
bool SaveFileWhole(const QString &path, const QByteArray &bytes, QString *error);
// What LastPanelError says next.
void SetLastPanelError(const QString &why);
// nullptr when the panel or control does not exist; error then says which (a PanelError).
QWidget *PanelControlWidget(int panel, int control, int *error = nullptr);
// The window of a panel that is shown; nullptr when none is.
QWidget *ShownPanelWindow();
