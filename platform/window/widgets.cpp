// The panel file's own controls: the timer control and the port ring here, and the factory
// that makes them and the charts, the graph and the LEDs for the loader.
#include "widgets.h"

#include "led.h"
#include "network_line.h"
#include "numeric_display.h"
#include "panel.h"
#include "serial.h"
#include "serial_devices.h"
#include "strip_chart.h"
#include "xy_graph.h"

#include <QAbstractEventDispatcher>
#include <QFileInfo>
#include <QLineEdit>

#include <algorithm>

namespace {

const int DEVICE_SETTLE_MS = 250;
const qint64 MAX_TICKS_A_WAKE = 1000;

} // namespace

int KvControl::setIntAttribute(int, int) {
    return UIE_ATTRIBUTE;
}
int KvControl::setTextAttribute(int, const QString &) {
    return UIE_ATTRIBUTE;
}

KvTimer::KvTimer(QWidget *parent) : QWidget(parent) {
    setVisible(false);
    setFixedSize(0, 0);
    if (auto *dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::awake, this, &KvTimer::deliverDueTicks);
    restart();
}

void KvTimer::restart() {
    clock_.start();
    delivered_ = 0;
}

void KvTimer::setInterval(int milliseconds) {
    deliverDueTicks();
    interval_ = std::max(1, milliseconds);
    restart();
}

void KvTimer::deliverDueTicks() {
    if (!enabled_)
        return;
    const qint64 due = clock_.elapsed() / interval_ - delivered_;
    // A long sleep leaves many ticks due: some now, the rest at the next wakes.
    for (qint64 i = 0; i < std::min(due, MAX_TICKS_A_WAKE); ++i) {
        ++delivered_;
        emit tick();
    }
}

int KvTimer::setIntAttribute(int attribute, int value) {
    if (attribute != ATTR_ENABLED)
        return UIE_ATTRIBUTE;
    deliverDueTicks();
    enabled_ = value != 0;
    restart();
    return 0;
}

KvPortRing::KvPortRing(QWidget *parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    lineEdit()->setPlaceholderText(tr("/dev/ttyUSB0 or rfc2217://HOST:PORT"));
    connect(lineEdit(), &QLineEdit::returnPressed, this, &KvPortRing::takeTypedPath);
    settle_.setSingleShot(true);
    settle_.setInterval(DEVICE_SETTLE_MS);
    connect(&settle_, &QTimer::timeout, this, &KvPortRing::refill);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, &settle_,
            qOverload<>(&QTimer::start));
    lossWatch_ = WatchComDeviceLoss([this] { refill(); });
    refill();
}

KvPortRing::~KvPortRing() {
    UnwatchComDeviceLoss(lossWatch_);
}

void KvPortRing::showPopup() {
    refill();
    QComboBox::showPopup();
}

void KvPortRing::refill() {
    const QVariant current = currentData();
    // A path the operator is typing survives the refresh.
    const bool typing = lineEdit()->isModified();
    const QString typed = lineEdit()->text();
    QSignalBlocker quiet(this);
    clear();
    // Devices come and go in /dev, and links to them (a pseudo-terminal's) in their own folders.
    QStringList folders = {QStringLiteral("/dev"), QStringLiteral("/dev/serial/by-id")};
    const QList<ComDevice> devices = ListComDevices();
    if (devices.isEmpty() || devices.first().port != 1)
        addItem(QString::fromStdString(ComPortLabel(1)) + tr("  (no device)"), 1);
    for (const ComDevice &device : devices) {
        QString label = QString::fromStdString(ComPortLabel(device.port)) + "  " + device.identity;
        if (device.path != device.identity)
            label += QStringLiteral("  %1").arg(device.path);
        if (!device.description.isEmpty())
            label += QStringLiteral("  (%1)").arg(device.description);
        if (device.presence == DevicePresence::GONE)
            label += tr("  (gone)");
        else if (device.presence == DevicePresence::NOT_FOUND)
            label += tr("  (not found)");
        addItem(label, device.port);
        if (device.identity.startsWith('/'))
            folders << QFileInfo(device.identity).absolutePath();
    }
    // The port in use keeps its entry when its device goes: another must not take its place.
    int index = findData(current.isValid() ? current : QVariant(1));
    if (index < 0 && current.isValid()) {
        addItem(QString::fromStdString(ComPortLabel(current.toInt())) + tr("  (no device)"),
                current);
        index = count() - 1;
    }
    setCurrentIndex(index >= 0 ? index : 0);
    if (typing) {
        lineEdit()->setText(typed);
        lineEdit()->setModified(true);
    }
    watchDeviceFolders(folders);
}

void KvPortRing::watchDeviceFolders(const QStringList &folders) {
    QStringList missing;
    for (const QString &folder : folders)
        if (!watcher_.directories().contains(folder) && QFileInfo(folder).isDir())
            missing << folder;
    missing.removeDuplicates();
    if (!missing.isEmpty())
        watcher_.addPaths(missing);
}

void KvPortRing::takeTypedPath() {
    const QString typed = lineEdit()->text().trimmed();
    lineEdit()->setModified(false);
    const bool device = typed.startsWith('/') || IsNetworkLineName(typed.toStdString());
    const int port = device ? GetComPortOfDevice(typed.toLocal8Bit().constData()) : 0;
    if (port <= 0) {
        refill();
        return;
    }
    {
        QSignalBlocker quiet(this);
        setCurrentIndex(-1);
    }
    refill();
    const int index = findData(port);
    setCurrentIndex(index);
    emit activated(index);
}

QWidget *CreatePlatformWidget(const QString &className, QWidget *parent) {
    if (className == QLatin1String("KvTimer"))
        return new KvTimer(parent);
    if (className == QLatin1String("KvPortRing"))
        return new KvPortRing(parent);
    if (className == QLatin1String("KvStripChart"))
        return new KvStripChart(parent);
    if (className == QLatin1String("KvXYGraph"))
        return new KvXYGraph(parent);
    if (className == QLatin1String("KvLed"))
        return new KvLed(parent);
    if (className == QLatin1String("KvNumeric"))
        return new KvNumeric(parent);
    return nullptr;
}
