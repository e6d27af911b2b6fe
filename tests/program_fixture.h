// Set-up shared by the tests that run the program's own code: its panel loaded and its state
// at the defaults, and for link tests the simulated controller on a pseudo-terminal as port 1.
#pragma once

#include "KELVARO1V10.h"
#include "com232.h"
#include "gui.h"
#include "panel_ids.h"

#include "panel.h"
#include "serial.h"

#include "kelvaro_sim.h"

#include <QApplication>
#include <QLineEdit>
#include <QStringList>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

// Readable failure messages for Qt's strings.
inline void PrintTo(const QString &text, std::ostream *out) {
    *out << '"' << text.toStdString() << '"';
}

// The order codes of the requests the simulator took, in the order they came.
std::vector<int> OrdersOf(const kvsim::Simulator &sim);

class PanelTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    static std::string status();
    static int intValue(int control);
    static unsigned short wordValue(int control);
    static QWidget *window();
    template <typename T = QWidget> static T *control(const char *name) {
        return window()->findChild<T *>(QString::fromLatin1(name));
    }
    // A mouse click: the left-click event, then the commit.
    static void press(const char *name);
    static void tick(const char *radioButton);
    // The operator chooses the menu entry item.
    static void choose(const char *item);
    // The operator opens the port ring and picks the entry of port.
    static void pickPort(int port);

    QStringList statusHistory; // every text the status line showed since SetUp
    // The program's working folder, a new one for every test: CTest runs them side by side. It
    // is the current directory too, where the program writes its correction table.
    QTemporaryDir workingFolder;
    QString previousDirectory;
};

class LinkTest : public PanelTest {
  protected:
    // The simulator paces its answers at 19200 baud, as the program takes only such answers;
    // started: startProgram() at the end of SetUp.
    explicit LinkTest(bool started = false);
    void SetUp() override;
    void TearDown() override;

    // Opens port 1 as the program does at start and forgets that traffic.
    void startProgram();
    std::vector<int> ordersReceived() const { return OrdersOf(sim); }
    // The requests with one of these order codes, in the order they came.
    std::vector<kvsim::Request> requestsOf(std::initializer_list<int> orders) const;
    int liveRequests() const { return int(requestsOf({8}).size()); }
    // Presses Run; step runs every few milliseconds inside the run until it returns true.
    void runUntil(const std::function<bool()> &step);
    // Presses Run; once the program asked for this many answers, then() runs inside the run.
    void runUntil(int answers, const std::function<void()> &then);
    // Processes events until the predicate holds or the time runs out.
    static bool waitFor(const std::function<bool()> &done, double seconds);
    // True when shown is text and the cause that the controller on port 1 stayed silent.
    bool saysNoAnswer(const std::string &shown, const std::string &text) const;
    // True when the status line showed that at some point.
    bool saidNoAnswer(const std::string &text) const;
    // True when shown says that the simulator's pseudo-terminal has gone.
    bool saysGone(const std::string &shown) const;

    std::string link;
    kvsim::Simulator sim;
    bool started_;
};

// The program started on the simulator, its start-up traffic forgotten.
class StartedTest : public LinkTest {
  protected:
    StartedTest() : LinkTest(true) {}
};

// The program's parameter set at start, as the panel file carries it.
const std::vector<int> DEFAULT_SET = {500, 2048, 512, 20, 1, 100, 1, 8, 0, 0, 950, 0, 500, 0, 0, 0};
// The teach frame (order 6) of the default set, byte for byte.
const std::vector<int> TEACH_FRAME_OF_DEFAULTS = {
    0x00, 0x55, 0x00, 0x06, 0x01, 0xF4, 0x08, 0x00, 0x02, 0x00, 0x00, 0x14,
    0x00, 0x01, 0x00, 0x64, 0x00, 0x01, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00,
    0x03, 0xB6, 0x00, 0x00, 0x01, 0xF4, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// The simulator's faults with one set, e.g. Fault(&kvsim::Faults::silent, true).
template <typename T> kvsim::Faults Fault(T kvsim::Faults::*field, T value) {
    kvsim::Faults faults;
    faults.*field = value;
    return faults;
}

std::vector<int> WordsOf(const kvsim::Words &words);
// The sixteen parameter variables, and the thirteen parameter controls of the panel.
std::vector<int> ProgramParameters();
void SetProgramParameters(const std::vector<int> &set);
std::vector<int> PanelParameters();
void WriteFile(const QString &path, const QByteArray &content);
QByteArray ReadFile(const QString &path);
// A correction file whose row r holds value r and key 1023 - r: the identity table, as the key
// column is read from the bottom up.
QByteArray CorrectionFileText();
// The kelvaro program built beside the test.
QString KelvaroProgram();
// Loads a panel file "form.uir" written in dir holding the widgets of body (items of a vertical
// layout): its handle, or the error.
int LoadForm(const QTemporaryDir &dir, const QString &body);
// One widget of such a body, with its control number, extra properties and callback.
QString FormItem(const char *className, const char *name, int id, const QString &extra = {},
                 const char *callback = nullptr);
