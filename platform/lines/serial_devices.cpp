// Port numbers that stay with their devices: port 1 is the start-up device (the command line's,
// else $KELVARO_COM1, else the first USB adapter, else the first listed device); every other
// device gets the next number when first seen and keeps it while it comes and goes. USB adapters
// are known by their /dev/serial/by-id names, which survive a replug; other devices by path.
#include "serial_devices.h"

#include "network_line.h"
#include "serial.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSerialPortInfo>

#include <algorithm>
#include <map>

namespace {

const char BY_ID_FOLDER[] = "/dev/serial/by-id";

struct Device {
    QString identity; // what it is known by, and opened through
    QString path;     // its device node when last seen
    QString description;
    bool usb = false;
    bool seen = false; // there at some look since it was numbered
};

std::map<int, Device> numbered;
std::map<int, std::function<void()>> lossListeners;
int nextLossWatch = 1;
QString startUpDevice;
QString startUpReason; // why port 1 is the device it is

QString environmentPath(int port) {
    const QByteArray name = "KELVARO_COM" + QByteArray::number(port);
    return QString::fromLocal8Bit(qgetenv(name.constData()));
}

QString deviceNode(const QString &path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

// The system's serial devices in natural order of their nodes, USB adapters by their by-id names.
QList<Device> systemDevices() {
    QHash<QString, QString> byIdOfNode;
    const QDir byId(QString::fromLatin1(BY_ID_FOLDER));
    for (const QString &name : byId.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        byIdOfNode.insert(deviceNode(byId.filePath(name)), byId.filePath(name));

    QList<Device> devices;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        const QString node = info.systemLocation();
        const QString byIdName = byIdOfNode.value(deviceNode(node));
        QString description = info.description();
        if (!info.manufacturer().isEmpty() && !description.contains(info.manufacturer()))
            description = info.manufacturer() + " " + description;
        devices.append({byIdName.isEmpty() ? node : byIdName, node, description.trimmed(),
                        info.hasVendorIdentifier() || !byIdName.isEmpty(), true});
    }
    QCollator natural;
    natural.setNumericMode(true);
    std::sort(devices.begin(), devices.end(), [&natural](const Device &a, const Device &b) {
        return natural.compare(a.path, b.path) < 0;
    });
    return devices;
}

int numberOf(const QString &identity) {
    for (const auto &[port, device] : numbered)
        if (device.identity == identity)
            return port;
    return 0;
}

int nextFreeNumber() {
    for (int port = 1; port <= MAX_COM_PORT; ++port)
        if (!numbered.count(port) && environmentPath(port).isEmpty())
            return port;
    return 0;
}

// A path named by the operator (command line, environment, typed into the ring) has that number.
void numberNamedPath(int port, const QString &path) {
    const int before = numberOf(path);
    if (before != 0 && before != port)
        numbered.erase(before);
    if (numbered[port].identity != path)
        numbered[port] = Device{path, deviceNode(path), QString(), false};
}

// The devices named in the environment and on the command line take their numbers.
void numberNamedDevices() {
    for (int port = 1; port <= MAX_COM_PORT; ++port)
        if (!environmentPath(port).isEmpty())
            numberNamedPath(port, environmentPath(port));
    if (!environmentPath(1).isEmpty())
        startUpReason = QStringLiteral("named by $KELVARO_COM1");
    if (!startUpDevice.isEmpty()) {
        numberNamedPath(1, startUpDevice);
        startUpReason = QStringLiteral("named on the command line");
    }
}

QList<Device> numberDevices() {
    numberNamedDevices();
    const QList<Device> listed = systemDevices();
    if (!numbered.count(1) && !listed.isEmpty()) {
        const auto usb = std::find_if(listed.begin(), listed.end(),
                                      [](const Device &device) { return device.usb; });
        const Device &first = usb != listed.end() ? *usb : listed.first();
        if (numberOf(first.identity) == 0) {
            numbered[1] = first;
            startUpReason = usb != listed.end()
                                ? QStringLiteral("the first USB serial adapter")
                                : QStringLiteral("the first serial device the system lists");
        }
    }
    for (const Device &device : listed) {
        const int port = numberOf(device.identity);
        if (port != 0) {
            numbered[port] = device;
        } else if (const int next = nextFreeNumber(); next != 0) {
            numbered[next] = device;
        }
    }
    return listed;
}

} // namespace

QList<ComDevice> ListComDevices() {
    const QList<Device> listed = numberDevices();
    QList<ComDevice> devices;
    for (auto &[port, device] : numbered) {
        const bool listedNow = std::any_of(
            listed.begin(), listed.end(),
            [&identity = device.identity](const Device &d) { return d.identity == identity; });
        // A network line is there as far as anyone can tell, until its connection is lost.
        const bool present = IsNetworkLineName(device.identity.toStdString())
                                 ? ComDeviceGone(port) == 0
                                 : listedNow || QFileInfo::exists(device.identity);
        device.seen = device.seen || present;
        const DevicePresence presence = present       ? DevicePresence::THERE
                                        : device.seen ? DevicePresence::GONE
                                                      : DevicePresence::NOT_FOUND;
        devices.append({port, present ? deviceNode(device.identity) : device.path, device.identity,
                        device.description, presence});
    }
    return devices;
}

int WatchComDeviceLoss(std::function<void()> listener) {
    lossListeners[nextLossWatch] = std::move(listener);
    return nextLossWatch++;
}

void UnwatchComDeviceLoss(int watch) {
    lossListeners.erase(watch);
}

void NoteComDeviceLost() {
    for (const auto &[watch, listener] : lossListeners)
        listener();
}

QString ComDevicePath(int port) {
    if (port < 1 || port > MAX_COM_PORT)
        return {};
    // A number keeps its device: the system is asked only about a number not given yet, so that
    // naming a device in a message costs no scan of every terminal.
    numberNamedDevices();
    auto found = numbered.find(port);
    if (found == numbered.end()) {
        numberDevices();
        found = numbered.find(port);
    }
    return found == numbered.end() ? QString() : found->second.identity;
}

int ComPortOfPath(const QString &path) {
    if (path.isEmpty())
        return 0;
    numberDevices();
    const int known = numberOf(path);
    if (known != 0)
        return known;
    // A node the system lists under a by-id name is that device.
    for (const auto &[port, device] : numbered)
        if (deviceNode(device.identity) == deviceNode(path) && QFileInfo::exists(path))
            return port;
    const int next = nextFreeNumber();
    if (next != 0)
        numbered[next] = Device{path, deviceNode(path), QString(), false};
    return next;
}

void SetStartUpDevice(const QString &path) {
    startUpDevice = path;
}

QString StartUpDeviceReason() {
    numberDevices();
    return numbered.count(1) ? startUpReason : QString();
}

QString StableNameOf(const QString &device) {
    if (IsNetworkLineName(device.toStdString())) {
        QString address = device.section(QStringLiteral("://"), 1);
        address.remove('[').remove(']');
        return address.replace(':', '_');
    }
    const QDir byId(QString::fromLatin1(BY_ID_FOLDER));
    const QString node = deviceNode(device);
    for (const QString &name : byId.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        if (deviceNode(byId.filePath(name)) == node)
            return name;
    return QFileInfo(device).fileName();
}
