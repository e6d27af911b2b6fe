// Port numbers to device paths: $KELVARO_COM<n> first (how the simulator's pseudo-terminal is
// attached), else the n-th serial device the system lists, in natural order of their paths.
#include "serial_devices.h"

#include "serial.h"

#include <QCollator>
#include <QSerialPortInfo>

#include <algorithm>
#include <cstdlib>

namespace {

QStringList listedDevices() {
    QStringList paths;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        paths << info.systemLocation();
    QCollator natural;
    natural.setNumericMode(true);
    std::sort(paths.begin(), paths.end(), natural);
    return paths;
}

QString overrideFor(int port) {
    const QByteArray name = "KELVARO_COM" + QByteArray::number(port);
    return QString::fromLocal8Bit(qgetenv(name.constData()));
}

} // namespace

QList<ComDevice> ListComDevices() {
    const QStringList listed = listedDevices();
    QList<ComDevice> devices;
    for (int port = 1; port <= MAX_COM_PORT; ++port) {
        QString path = overrideFor(port);
        QString description;
        if (path.isEmpty() && port <= listed.size())
            path = listed.at(port - 1);
        if (path.isEmpty())
            continue;
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            if (info.systemLocation() == path)
                description = info.description();
        devices.append({port, path, description});
    }
    return devices;
}

QString ComDevicePath(int port) {
    if (port < 1 || port > MAX_COM_PORT)
        return {};
    const QString path = overrideFor(port);
    if (!path.isEmpty())
        return path;
    const QStringList listed = listedDevices();
    return port <= listed.size() ? listed.at(port - 1) : QString();
}

int GetComDevicePath(int port, char *path, int size) {
    if (port < 1 || port > MAX_COM_PORT)
        return COM_INVALID_PORT_NUMBER;
    if (!path || size < 1)
        return COM_INVALID_PARAMETER;
    const QByteArray bytes = ComDevicePath(port).toLocal8Bit();
    if (bytes.size() >= size) {
        path[0] = '\0';
        return COM_INVALID_PARAMETER;
    }
    std::copy(bytes.begin(), bytes.end(), path);
    path[bytes.size()] = '\0';
    return int(bytes.size());
}
