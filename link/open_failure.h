#pragma once

#include "lock_owner.h"
#include "operation_error.h"
#include "port_map.h"
#include "serve_rendezvous.h"

#include <QList>
#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

// A failed opening, as the opener saw it.
struct OpenAttempt {
    std::int16_t port = 0;  // the COM number; 0 for a device opened by its path
    QString mappedPath;     // the path the port is mapped to, or the path given
    QString realDevice;     // that path with links resolved: what was opened
    QSerialPort::SerialPortError error = QSerialPort::UnknownError;
    QString systemText;  // QSerialPort::errorString(), for a failure with no better words
};

// Why a port did not open, with the facts a person needs to act on it: one
// classification for the panel and the command line.
struct OpenFailure {
    enum class Kind { Missing, Busy, NotPermitted, NotSerial, Other };
    Kind kind = Kind::Other;
    OpenAttempt attempt;
    // Missing: the devices present with their COM numbers, and where a COM
    // number is mapped.
    QList<PortMap::PresentDevice> present;
    QString settingsFile;
    bool mappedByEnvironment = false;
    // Busy: the device's lock file, held or stale; none when it has none.
    std::optional<LockOwner> lock;
    // Busy: the orvessa serve that holds it, when its rendezvous file names
    // the lock's process.
    std::optional<ServeRendezvous::Server> server;
    // Busy: the lock's process is orvessa serve, whose file was not found
    // (another user's, or another XDG_RUNTIME_DIR).
    bool serverNotFound = false;
    // NotPermitted: who may not, and the group that may.
    QString user;
    QString group;
    bool joinedSinceLogin = false;  // the user is in the group, this session is older
    // NotPermitted: the groups this process is in (effective and
    // supplementary), and the device's own group and permission bits; the
    // device's group is empty when its status could not be read.
    QStringList userGroups;
    QString deviceGroup;
    unsigned deviceMode = 0;
};

// Sorts out a failed opening. A missing device lists the devices present
// through `map`; Qt reports both a device held by another program and one the
// user may not open as a permission error, so the device's own permissions
// tell them apart.
OpenFailure classifyOpenFailure(const OpenAttempt& attempt, PortMap& map);

// The name of the user this program runs as (its number when it has none).
QString userName();

// "COM3 (/dev/ttyUSB0) cannot be opened: " and why, with what to do next:
// the same words for the panel's error report and the command line.
QString describeOpenFailure(const OpenFailure& failure);

// The panel's error for a failed opening.
OperationError openFailureError(const OpenFailure& failure);

// True when `device` exists and this user may not read and write it.
bool permissionMissing(const QString& device);

// The group whose members may open `device`: its own group when that group
// may read and write it (and is not root's), else dialout, the serial devices'
// group on Debian.
QString permittedGroup(const QString& device);
