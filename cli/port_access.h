#pragma once

#include "lock_owner.h"

#include <QList>
#include <QSerialPort>
#include <QString>

#include <memory>
#include <optional>

// Everything orvessa needs from the host's serial ports, in one place: what a
// port name stands for (the panel's port map), which ports there are and who
// holds them, and opening one as the panel opens it. Nothing else in cli/
// touches device paths, lock files or QSerialPort's open.
namespace PortAccess {

// A port as the caller names it and the device it stands for.
struct Port {
    QString name;    // "COM3", or the device path as given
    QString device;  // the device path, as mapped (a symlink is not yet resolved)
};

// "COM<n>" (n from 1, any case) maps as the panel maps it; a value holding a
// '/' is a device path. Nothing for any other value.
std::optional<Port> resolve(const QString& value);

// "COM3 (/dev/ttyUSB0)", or the path alone for a port named by its path.
QString describe(const Port& port);

struct PortState {
    Port port;
    bool present = false;             // the device exists
    std::optional<LockOwner> holder;  // the running program whose lock file holds the device
};

// COM1 to COM4, then every further COM<n> that is mapped to a device of its
// own, in order. Looks at lock files only: no port is opened.
QList<PortState> listPorts();

enum class OpenFailure { None, Missing, Busy, NotPermitted, Other };

struct OpenResult {
    std::unique_ptr<QSerialPort> serial;  // open, 9600 8N1, no flow control; null on failure
    QString device;                       // the real device opened or tried
    OpenFailure failure = OpenFailure::None;
    // On failure, one line for the caller: "COM3 (/dev/ttyUSB0) cannot be
    // opened: it is busy, held by TavrinV1.3 (process 4242)".
    QString message;
};

// Opens the real device behind `port` (symlinks resolved, so a device has one
// lock whatever name it is opened by), read and write, as the panel does:
// QSerialPort's exclusive lock, 9600 baud, 8 data bits, no parity, one stop
// bit, no flow control.
OpenResult open(const Port& port);

}  // namespace PortAccess
