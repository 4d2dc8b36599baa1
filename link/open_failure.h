#pragma once

#include "operation_error.h"

#include <QSerialPort>
#include <QString>

#include <cstdint>

class PortMap;

// A failed opening of port n, as the opener saw it.
struct OpenAttempt {
    std::int16_t port = 0;  // the COM number
    QString path;           // the device the port is mapped to
    QString device;         // that path with symbolic links resolved: what was opened
    QSerialPort::SerialPortError error = QSerialPort::UnknownError;
    QString systemText;  // QSerialPort::errorString(), for a failure with no better words
};

// The error of a failed opening, in words the operator can act on: a missing
// device comes with the serial devices present and their COM numbers, and how
// to map a COM number to a device; a busy device names the program and
// process holding it where its lock file says so; a device the user may not
// open names the dialout group. Lists the devices present through `map`.
OperationError openFailure(const OpenAttempt& attempt, PortMap& map);

// True when `device` exists and this user may not read and write it: what
// tells a missing permission from a device another program holds, when
// QSerialPort reports either as a permission error.
bool permissionMissing(const QString& device);

// The group whose members may open `device`: its own group when that group
// may read and write it (and is not root's), else dialout, the serial devices'
// group on Debian.
QString permittedGroup(const QString& device);
