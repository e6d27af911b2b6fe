// Set-up shared by the tests that run the program's own code.
#include "program_fixture.h"

#include "frame_log.h"

#include "utility.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

using namespace kelvaro;

void PanelTest::SetUp() {
    ASSERT_TRUE(workingFolder.isValid());
    setenv("KELVARO_DIR", workingFolder.path().toLocal8Bit().constData(), 1);
    previousDirectory = QDir::currentPath();
    QDir::setCurrent(workingFolder.path());
    GetProjectDir(proj_dir);
    RegisterCallbacks();
    panelHandle = LoadPanel(0, "KELVARO1V10.uir", PANEL);
    ASSERT_GT(panelHandle, 0) << LastPanelError();
    QObject::connect(control<QLineEdit>("PANEL_STATUS"), &QLineEdit::textChanged,
                     [this](const QString &text) { statusHistory << text; });
    InitVars();
    StartFrameLog(ShowStatus);
    statusHistory.clear();
}

void PanelTest::TearDown() {
    CloseLine();
    DiscardPanel(panelHandle);
    unsetenv("KELVARO_DIR");
    QDir::setCurrent(previousDirectory);
}

std::string PanelTest::status() {
    char text[256];
    GetCtrlVal(panelHandle, PANEL_STATUS, text, sizeof text);
    return text;
}

int PanelTest::intValue(int id) {
    int value = -1;
    EXPECT_EQ(GetCtrlVal(panelHandle, id, &value), 0) << id;
    return value;
}

unsigned short PanelTest::wordValue(int id) {
    unsigned short value = 0;
    EXPECT_EQ(GetCtrlVal(panelHandle, id, &value), 0) << id;
    return value;
}

QWidget *PanelTest::window() {
    for (QWidget *top : QApplication::topLevelWidgets())
        if (top->objectName() == QLatin1String("PANEL"))
            return top;
    return nullptr;
}

void PanelTest::press(const char *name) {
    QAbstractButton *button = control<QAbstractButton>(name);
    // A radio button takes clicks on its circle and label only, not on the rest of its row.
    const QPoint at = qobject_cast<QRadioButton *>(button) ? QPoint(8, button->height() / 2)
                                                           : button->rect().center();
    QTest::mouseClick(button, Qt::LeftButton, {}, at);
}

void PanelTest::tick(const char *radioButton) {
    if (!control<QAbstractButton>(radioButton)->isChecked())
        press(radioButton);
}

void PanelTest::choose(const char *item) {
    window()->findChild<QAction *>(QString::fromLatin1(item))->trigger();
}

void PanelTest::pickPort(int port) {
    auto *ring = control<QComboBox>("PANEL_DROPDCOM");
    ring->showPopup();
    ring->hidePopup();
    const int index = ring->findData(port);
    ASSERT_GE(index, 0) << port;
    ring->setCurrentIndex(index);
    emit ring->activated(index);
}

LinkTest::LinkTest(bool started) : started_(started) {}

void LinkTest::SetUp() {
    link = "/tmp/kelvaro-test-" + std::to_string(getpid()) + "-COM1";
    std::string error;
    ASSERT_TRUE(sim.start(link, &error)) << error;
    setenv("KELVARO_COM1", link.c_str(), 1);
    PanelTest::SetUp();
    if (started_ && !HasFatalFailure())
        startProgram();
}

void LinkTest::TearDown() {
    PanelTest::TearDown();
    sim.stop();
    unsetenv("KELVARO_COM1");
}

void LinkTest::startProgram() {
    DisplayPanel(panelHandle);
    InitRS232(com);
    sim.clearRequests();
    statusHistory.clear();
}

std::vector<int> OrdersOf(const kvsim::Simulator &sim) {
    std::vector<int> orders;
    for (const kvsim::Request &request : sim.requests())
        orders.push_back(request.order);
    return orders;
}

std::vector<kvsim::Request> LinkTest::requestsOf(std::initializer_list<int> orders) const {
    std::vector<kvsim::Request> chosen;
    for (const kvsim::Request &request : sim.requests())
        if (std::find(orders.begin(), orders.end(), request.order) != orders.end())
            chosen.push_back(request);
    return chosen;
}

void LinkTest::runUntil(const std::function<bool()> &step) {
    QTimer timer;
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (step())
            timer.stop();
    });
    timer.start();
    QTest::mouseClick(control<QAbstractButton>("PANEL_BTNRUN"), Qt::LeftButton);
}

void LinkTest::runUntil(int answers, const std::function<void()> &then) {
    runUntil([&] {
        if (liveRequests() < answers)
            return false;
        then();
        return true;
    });
}

bool LinkTest::waitFor(const std::function<bool()> &done, double seconds) {
    const double start = Timer();
    while (!done()) {
        if (Timer() - start > seconds)
            return false;
        ProcessSystemEventsUntil(start + seconds);
    }
    return true;
}

bool LinkTest::saysNoAnswer(const std::string &shown, const std::string &text) const {
    return shown.rfind(text + ": no answer on COM1: " + link + " within ", 0) == 0;
}

bool LinkTest::saidNoAnswer(const std::string &text) const {
    return std::any_of(statusHistory.begin(), statusHistory.end(), [&](const QString &shown) {
        return saysNoAnswer(shown.toStdString(), text);
    });
}

bool LinkTest::saysGone(const std::string &shown) const {
    return shown.find("COM1: " + link + " is gone") != std::string::npos;
}

std::vector<int> WordsOf(const kvsim::Words &words) {
    return std::vector<int>(words.begin(), words.end());
}

namespace {

unsigned short *const PARAMETER_VARIABLES[PNUM] = {
    &power,    &reference, &tolerance, &hysteresis, &polarity, &hold,   &hwmode, &average,
    &evalmode, &maxmode,   &triglvl,   &trigmode,   &sdelay,   &para13, &para14, &para15};

} // namespace

std::vector<int> ProgramParameters() {
    std::vector<int> set;
    for (const unsigned short *variable : PARAMETER_VARIABLES)
        set.push_back(*variable);
    return set;
}

void SetProgramParameters(const std::vector<int> &set) {
    for (int i = 0; i < PNUM; ++i)
        *PARAMETER_VARIABLES[i] = static_cast<unsigned short>(set[size_t(i)]);
}

std::vector<int> PanelParameters() {
    std::vector<int> values;
    for (int id : {PANEL_POWER, PANEL_REFERENCE, PANEL_TOLERANCE, PANEL_HYSTERESIS, PANEL_POLARITY,
                   PANEL_HOLD, PANEL_HWMODE, PANEL_AVERAGE, PANEL_EVALMODE, PANEL_MAXMODE,
                   PANEL_TRIGLVL, PANEL_TRIGMODE, PANEL_SDELAY}) {
        unsigned short value = 0;
        GetCtrlVal(panelHandle, id, &value);
        values.push_back(value);
    }
    return values;
}

int LoadForm(const QTemporaryDir &dir, const QString &body) {
    const QString path = dir.filePath("form.uir");
    WriteFile(path, R"(<?xml version="1.0" encoding="UTF-8"?><ui version="4.0"><class>T</class>
<widget class="QWidget" name="PANEL"><property name="ctrlId" stdset="0"><number>1</number></property>
<layout class="QVBoxLayout">)" +
                        body.toUtf8() + "</layout></widget></ui>");
    return LoadPanel(0, path.toLocal8Bit().constData(), 1);
}

QString FormItem(const char *className, const char *name, int id, const QString &extra,
                 const char *callback) {
    const QString callbackProperty =
        callback ? QString(R"(<property name="callback" stdset="0"><string>%1</string></property>)")
                       .arg(callback)
                 : QString();
    return QString(R"(<item><widget class="%1" name="%2"><property name="ctrlId" stdset="0">)"
                   R"(<number>%3</number></property>%4%5</widget></item>)")
        .arg(className, name)
        .arg(id)
        .arg(callbackProperty, extra);
}

void WriteFile(const QString &path, const QByteArray &content) {
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content);
}

QByteArray ReadFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

QByteArray CorrectionFileText() {
    QByteArray text;
    for (int row = 0; row < 1024; ++row)
        text += QByteArray::number(row) + " " + QByteArray::number(1023 - row) + "\n";
    return text;
}

QString KelvaroProgram() {
    return QCoreApplication::applicationDirPath() + "/kelvaro";
}
