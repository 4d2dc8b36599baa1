#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Who holds a serial device, as its lock file says. Programs lock a device
// with a file "LCK..<name>" in a lock folder, <name> being the device path
// without "/dev/" and with '/' as '_': QSerialPort writes the process id, the
// program's name and the host on separate lines; UUCP-style tools write the
// process id, sometimes followed by the program on the same line.
struct LockOwner {
    // A lock is stale when nothing it names holds the device any more: its
    // process has ended, its process number now belongs to another program,
    // or it was written on another host.
    enum class Standing { Held, ProcessEnded, ProcessReused, OtherHost };

    qint64 pid = 0;
    QString program;   // as the lock file names it, else as the system does; may be empty
    QString host;      // as the lock file names it; empty when it names none
    QString lockFile;  // the lock file's path
    Standing standing = Standing::Held;
    QString runningProgram;  // ProcessReused: the program that has the process number now

    bool stale() const { return standing != Standing::Held; }
    // The program as a message names it: "a program" when nothing names it.
    QString programName() const { return program.isEmpty() ? QStringLiteral("a program") : program; }
    // The program's file name, without a folder: what tells the panel or
    // orvessa from other programs.
    QString programFile() const;
    // How every message names a lock: "TavrinV1.3 (process 4242)" for a
    // holder; for a stale lock, the lock file and why nothing holds it.
    QString describe() const;
};

// Whether process `pid` exists (also when it is another user's).
bool processRunning(qint64 pid);
// The program that runs as `pid`: the name of its executable, else the
// kernel's name for it, which is cut to 15 characters; empty when neither can
// be read.
QString processProgram(qint64 pid);

// Whether process `pid` runs `orvessa ... serve`, as its command line says;
// false when that cannot be read.
bool processServes(qint64 pid);

// How a file about `device` names it: the path without "/dev/", '/' as '_'
// ("pts_3" for /dev/pts/3), as in a lock file's name "LCK..pts_3".
QString deviceFileName(const QString& device);

// The folders where programs keep device lock files, the usual first.
QStringList deviceLockFolders();

// The lock file of `device`, held or stale; nothing when there is none or it
// names no process.
std::optional<LockOwner> deviceLock(const QString& device, const QStringList& folders = deviceLockFolders());
