#include "lock_owner.h"

#include <QFile>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <signal.h>
#endif

namespace {

bool isRunning(qint64 pid)
{
#ifdef Q_OS_UNIX
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
#else
    Q_UNUSED(pid);
    return false;
#endif
}

QString programOfProcess(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

}  // namespace

QStringList deviceLockFolders()
{
    return {QStringLiteral("/var/lock"),        QStringLiteral("/run/lock"),       QStringLiteral("/etc/locks"),
            QStringLiteral("/var/spool/locks"), QStringLiteral("/var/spool/uucp"), QStringLiteral("/tmp")};
}

std::optional<LockOwner> deviceLockOwner(const QString& device, const QStringList& folders)
{
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const QString& folder : folders) {
        QFile lock(folder + QStringLiteral("/LCK..") + name);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        const QStringList lines = QString::fromLocal8Bit(lock.read(4096)).split(QLatin1Char('\n'));
        const QStringList first = lines.value(0).simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        bool ok = false;
        const qint64 pid = first.value(0).toLongLong(&ok);
        if (!ok || !isRunning(pid))
            continue;
        QString program = lines.value(1).trimmed();
        if (program.isEmpty())
            program = first.value(1);
        if (program.isEmpty())
            program = programOfProcess(pid);
        return LockOwner{pid, program};
    }
    return std::nullopt;
}
