// The panel file's own controls: the timer control and the port ring here, and the factory
// that makes them and the charts, the graph and the LEDs for the loader.
#include "widgets.h"

#include "led.h"
#include "panel.h"
#include "serial_devices.h"
#include "strip_chart.h"
#include "xy_graph.h"

int KvControl::setIntAttribute(int, int) {
    return UIE_ATTRIBUTE;
}
int KvControl::setTextAttribute(int, const QString &) {
    return UIE_ATTRIBUTE;
}

KvTimer::KvTimer(QWidget *parent) : QWidget(parent) {
    setVisible(false);
    setFixedSize(0, 0);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &KvTimer::tick);
    timer_.start(50);
}

void KvTimer::setInterval(int milliseconds) {
    timer_.setInterval(milliseconds);
}

int KvTimer::setIntAttribute(int attribute, int value) {
    if (attribute != ATTR_ENABLED)
        return UIE_ATTRIBUTE;
    if (value)
        timer_.start();
    else
        timer_.stop();
    return 0;
}

KvPortRing::KvPortRing(QWidget *parent) : QComboBox(parent) {
    refill();
}

void KvPortRing::showPopup() {
    refill();
    QComboBox::showPopup();
}

void KvPortRing::refill() {
    const QVariant current = currentData();
    QSignalBlocker quiet(this);
    clear();
    const QList<ComDevice> devices = ListComDevices();
    if (devices.isEmpty() || devices.first().port != 1)
        addItem(tr("COM1 (no device)"), 1);
    for (const ComDevice &device : devices) {
        QString label = QStringLiteral("COM%1  %2").arg(device.port).arg(device.path);
        if (!device.description.isEmpty())
            label += QStringLiteral(" (%1)").arg(device.description);
        addItem(label, device.port);
    }
    const int index = findData(current.isValid() ? current : QVariant(1));
    setCurrentIndex(index >= 0 ? index : 0);
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
    return nullptr;
}
