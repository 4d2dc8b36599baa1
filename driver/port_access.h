#pragma once

#include "lock_owner.h"
#include "open_failure.h"

#include <QList>
#include <QSerialPort>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

// Everything orvessa needs from the host's serial ports, in one place: what a
// port name stands for (the panel's port map), which ports there are and who
// holds them, and opening one as the panel opens it. Nothing else in the driver
// or orvessa touches device paths, lock files or QSerialPort's open.
namespace PortAccess {

// A port as the caller names it.
struct Port {
    QString name;             // "COM3", or the device path as given
    QString mappedPath;       // the path the port is mapped to (a link is not yet resolved)
    std::int16_t number = 0;  // the COM number; 0 for a port named by its path
};

// "COM<n>" (n from 1, any case) maps as the panel maps it, numbering and
// recording new devices first when COM<n> is not mapped; a value holding a
// '/' is a device path. Nothing for any other value.
std::optional<Port> portRecordingNewDevices(const QString& value);

// "COM3 (/dev/ttyUSB0)", or the path alone for a port named by its path.
QString describe(const Port& port);

struct PortState {
    Port port;
    QString realDevice;             // the mapped path with links resolved
    bool present = false;           // the device exists
    std::optional<LockOwner> lock;  // its lock file, held or stale
};

struct PortListing {
    QList<PortState> ports;
    QString storeFailure;  // why new COM numbers could not be recorded; empty when they were
};

// COM1 to COM4, then every further COM<n> mapped to a device, in order, after
// numbering and recording new devices as the panel does. Looks at lock files
// only: no port is opened.
PortListing listPorts();

// The device behind `port`, links resolved: what open() opens.
QString realDevice(const Port& port);

struct OpenResult {
    std::unique_ptr<QSerialPort> serial;  // open, 9600 8N1, no flow control; null on failure
    QString realDevice;                   // the device opened or tried
    std::optional<OpenFailure> failure;   // why it did not open
};

// Opens the real device behind `port` (links resolved, so a device has one
// lock whatever name it is opened by), read and write, as the panel does:
// QSerialPort's exclusive lock, 9600 baud, 8 data bits, no parity, one stop
// bit, no flow control.
OpenResult open(const Port& port);

}  // namespace PortAccess
