// Port numbers and the devices behind them, for the serial service and the port ring.
#pragma once

#include <QList>
#include <QString>

struct ComDevice {
    int port;
    QString path;
    QString description;
};

QList<ComDevice> ListComDevices();
QString ComDevicePath(int port);
