#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Who holds a serial device, as its lock file says. Programs lock a device
// with a file "LCK..<name>" in a lock folder, <name> being the device path
// without "/dev/" and with '/' as '_': QSerialPort writes the process id, the
// program's name and the host on three lines; UUCP-style tools write the
// process id, sometimes followed by the program on the same line.
struct LockOwner {
    qint64 pid = 0;
    QString program;  // empty when neither the lock file nor the system names it

    // The program as a message names it: "a program" when nothing names it.
    QString programName() const { return program.isEmpty() ? QStringLiteral("a program") : program; }
};

// The folders where programs keep device lock files, the usual first.
QStringList deviceLockFolders();

// The living process that holds `device` by its lock file; nothing when no
// lock file names one (none, unreadable, or left behind by a process that is gone).
std::optional<LockOwner> deviceLockOwner(const QString& device, const QStringList& folders = deviceLockFolders());
