// Port numbers to device paths: $KELVARO_COM<n> first (how the simulator's pseudo-terminal is
// attached), else the n-th serial device the system lists, in natural order of their paths.
#include "serial_devices.h"

#include "serial.h"

#include <QCollator>
#include <QSerialPortInfo>

#include <algorithm>

namespace {

QList<QSerialPortInfo> listedDevices() {
    QList<QSerialPortInfo> devices = QSerialPortInfo::availablePorts();
    QCollator natural;
    natural.setNumericMode(true);
    std::sort(devices.begin(), devices.end(),
              [&natural](const QSerialPortInfo &a, const QSerialPortInfo &b) {
                  return natural.compare(a.systemLocation(), b.systemLocation()) < 0;
              });
    return devices;
}

QString overrideFor(int port) {
    const QByteArray name = "KELVARO_COM" + QByteArray::number(port);
    return QString::fromLocal8Bit(qgetenv(name.constData()));
}

} // namespace

QList<ComDevice> ListComDevices() {
    const QList<QSerialPortInfo> listed = listedDevices();
    QList<ComDevice> devices;
    for (int port = 1; port <= MAX_COM_PORT; ++port) {
        const QString path = overrideFor(port);
        if (!path.isEmpty())
            devices.append({port, path, QString()});
        else if (port <= listed.size())
            devices.append(
                {port, listed.at(port - 1).systemLocation(), listed.at(port - 1).description()});
    }
    return devices;
}

QString ComDevicePath(int port) {
    if (port < 1 || port > MAX_COM_PORT)
        return {};
    const QString path = overrideFor(port);
    if (!path.isEmpty())
        return path;
    const QList<QSerialPortInfo> listed = listedDevices();
    return port <= listed.size() ? listed.at(port - 1).systemLocation() : QString();
}
