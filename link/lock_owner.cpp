#include "lock_owner.h"

#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <signal.h>
#endif

bool processRunning(qint64 pid)
{
#ifdef Q_OS_UNIX
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
#else
    Q_UNUSED(pid);
    return false;
#endif
}

QString processProgram(qint64 pid)
{
    QString executable = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    executable.remove(QStringLiteral(" (deleted)"));
    if (!executable.isEmpty())
        return QFileInfo(executable).fileName();
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

bool processServes(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> words = file.read(64 * 1024).split('\0');
    return !words.isEmpty() &&
           QFileInfo(QString::fromLocal8Bit(words.first())).fileName() == QLatin1String("orvessa") &&
           words.contains("serve");
}

namespace {

// Whether the program a lock names is the one running, allowing for the
// kernel's 15-character process names.
bool sameProgram(const QString& named, const QString& running)
{
    constexpr int KernelNameLength = 15;
    if (named.isEmpty() || running.isEmpty())
        return true;  // nothing to tell them apart by
    const QString namedFile = QFileInfo(named).fileName();
    return namedFile == running || (running.size() == KernelNameLength && namedFile.startsWith(running));
}

LockOwner::Standing standingOf(const LockOwner& lock, QString& runningProgram)
{
    if (!lock.host.isEmpty() && lock.host != QSysInfo::machineHostName())
        return LockOwner::Standing::OtherHost;
    if (!processRunning(lock.pid))
        return LockOwner::Standing::ProcessEnded;
    runningProgram = processProgram(lock.pid);
    if (!sameProgram(lock.program, runningProgram))
        return LockOwner::Standing::ProcessReused;
    return LockOwner::Standing::Held;
}

}  // namespace

QString LockOwner::programFile() const { return QFileInfo(program).fileName(); }

QString LockOwner::describe() const
{
    const QString named = QStringLiteral("%1 (process %2)").arg(programName()).arg(pid);
    switch (standing) {
    case Standing::Held:
        return named;
    case Standing::ProcessEnded:
        return QStringLiteral("a stale lock file %1: it names %2, which has ended").arg(lockFile, named);
    case Standing::ProcessReused:
        return QStringLiteral("a stale lock file %1: it names %2, but that process is now %3")
            .arg(lockFile, named, runningProgram.isEmpty() ? QStringLiteral("another program") : runningProgram);
    case Standing::OtherHost:
        return QStringLiteral("a stale lock file %1: it names %2 on another host, %3").arg(lockFile, named, host);
    }
    return named;
}

QStringList deviceLockFolders()
{
    return {QStringLiteral("/var/lock"),        QStringLiteral("/run/lock"),       QStringLiteral("/etc/locks"),
            QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"), QStringLiteral("/tmp")};
}

QString deviceFileName(const QString& device)
{
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    return name.replace(QLatin1Char('/'), QLatin1Char('_'));
}

std::optional<LockOwner> deviceLock(const QString& device, const QStringList& folders)
{
    const QString name = deviceFileName(device);
    std::optional<LockOwner> stale;
    for (const QString& folder : folders) {
        QFile file(folder + QStringLiteral("/LCK..") + name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QStringList lines = QString::fromLocal8Bit(file.read(4096)).split(QLatin1Char('\n'));
        const QStringList first = lines.value(0).simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        bool ok = false;
        LockOwner lock;
        lock.pid = first.value(0).toLongLong(&ok);
        if (!ok || lock.pid <= 0)
            continue;
        lock.lockFile = file.fileName();
        lock.program = lines.value(1).trimmed();
        if (lock.program.isEmpty())
            lock.program = first.value(1);
        lock.host = lines.value(2).trimmed();
        lock.standing = standingOf(lock, lock.runningProgram);
        if (lock.program.isEmpty() && lock.standing == LockOwner::Standing::Held)
            lock.program = lock.runningProgram;
        // /var/lock is usually /run/lock: a lock that holds wins over a stale one.
        if (!lock.stale())
            return lock;
        if (!stale)
            stale = lock;
    }
    return stale;
}
