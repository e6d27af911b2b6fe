// Port numbers and the devices behind them, for the serial service and the port ring. A number
// names one device for the life of the program, whether the device is there or not.
#pragma once

#include <QList>
#include <QString>

#include <functional>

enum class DevicePresence {
    THERE,
    GONE,      // it was there, or its line was lost, and it is not now
    NOT_FOUND, // named by the operator, and never there
};

struct ComDevice {
    int port;
    QString path;     // the device path to open
    QString identity; // what does not change while it is plugged in: its by-id name, or its path
    QString description;
    DevicePresence presence;
};

// Every numbered device, in port order, after a fresh look at the system.
QList<ComDevice> ListComDevices();
// The path of port's device; "" when the number names no device.
QString ComDevicePath(int port);
// The number of the device at path, given now when the program has not seen it; 0 for "".
int ComPortOfPath(const QString &path);
// Why port 1 names the device it does ("named on the command line", "the first USB serial adapter",
// …);
// "" when it names none.
QString StartUpDeviceReason();
// The name of device that survives a replug and has no '/': a USB adapter's by-id name, a path's
// file name, a network line's HOST_PORT.
QString StableNameOf(const QString &device);
// Port 1 is this device from now on (the start-up device named on the command line).
void SetStartUpDevice(const QString &path);
// listener runs (from the event loop) whenever the serial service finds a port's device gone;
// returns a number for UnwatchComDeviceLoss.
int WatchComDeviceLoss(std::function<void()> listener);
void UnwatchComDeviceLoss(int watch);
// Called by the serial service when it finds a port's device gone.
void NoteComDeviceLost();
