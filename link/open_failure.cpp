#include "open_failure.h"

#include "port_wording.h"
#include "serial_component.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#ifdef Q_OS_UNIX
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <vector>

namespace {

#ifdef Q_OS_UNIX
QString userName()
{
    const passwd* user = ::getpwuid(::geteuid());
    return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(::geteuid());
}

// The user is listed in the group, but this process started without it.
bool joinedSinceLogin(const QString& groupName, const QString& user)
{
    const group* entry = ::getgrnam(QFile::encodeName(groupName).constData());
    if (!entry)
        return false;
    bool listed = false;
    for (char** member = entry->gr_mem; member && *member; ++member)
        listed = listed || QString::fromLocal8Bit(*member) == user;
    if (!listed)
        return false;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(std::size_t(count > 0 ? count : 0));
    if (count > 0 && ::getgroups(count, groups.data()) < 0)
        return false;
    for (gid_t id : groups) {
        if (id == entry->gr_gid)
            return false;
    }
    return ::getegid() != entry->gr_gid;
}
#else
QString userName() { return {}; }
bool joinedSinceLogin(const QString&, const QString&) { return false; }
#endif

QString where(const OpenAttempt& attempt)
{
    if (attempt.port == 0)
        return attempt.mappedPath == attempt.realDevice
                   ? attempt.mappedPath
                   : QStringLiteral("%1 (→ %2)").arg(attempt.mappedPath, attempt.realDevice);
    return PortWording::portLabel(attempt.port, attempt.mappedPath, attempt.realDevice);
}

QString missing(const OpenFailure& failure)
{
    QStringList present;
    for (const PortMap::PresentDevice& entry : failure.present) {
        const QString number = entry.port != 0 ? PortMap::portName(entry.port) : QStringLiteral("no COM number");
        present << number + QStringLiteral(": ") + PortWording::deviceText(entry.device);
    }
    QString text = QStringLiteral("the device does not exist. ") +
                   (present.isEmpty() ? QStringLiteral("No serial device is present.")
                                      : QStringLiteral("Serial devices present: %1.").arg(present.join(u"; ")));
    const std::int16_t port = failure.attempt.port;
    if (port == 0)
        return text;
    const QString com = PortMap::portName(port);
    const QString variable = PortMap::environmentVariable(port);
    text += QStringLiteral(" To map %1 to a device, set the environment variable %2=<device>, or %1=<device> in the "
                           "[Ports] group of %3.")
                .arg(com, variable, QDir::toNativeSeparators(failure.settingsFile));
    if (failure.mappedByEnvironment)
        text += QStringLiteral(" %1 is set now, and comes before the settings file.").arg(variable);
    return text;
}

// What to do about the program that holds the device.
QString nextStepFor(const LockOwner& holder)
{
    const QString program = holder.programFile();
    if (program.startsWith(QLatin1String("TavrinV")))
        return QStringLiteral("close its port (关闭串口) or quit the panel, and try again");
    if (program == QLatin1String("orvessa"))
        return QStringLiteral("wait until its command has ended, and try again");
    return QStringLiteral("stop that program, and try again");
}

QString busy(const OpenFailure& failure)
{
    if (!failure.lock)
        return QStringLiteral("the device is in use by another program, which keeps no lock file; close it and try "
                              "again");
    const LockOwner& lock = *failure.lock;
    if (lock.stale())
        return QStringLiteral("the device is in use, though its lock names no program that holds it: %1. If no "
                              "program uses the device, remove that lock file and try again")
            .arg(lock.describe());
    if (lock.pid == QCoreApplication::applicationPid())
        return QStringLiteral("the device is in use by this program, %1").arg(lock.describe());
    if (failure.server)
        return QStringLiteral("the device is in use by %1, which orvessa's commands on this machine go through (all "
                              "but upgrade); to use the port itself, stop that server, and try again")
            .arg(failure.server->describe());
    return QStringLiteral("the device is in use by %1; %2").arg(lock.describe(), nextStepFor(lock));
}

QString notPermitted(const OpenFailure& failure)
{
    if (failure.user.isEmpty())
        return QStringLiteral("permission denied");
    if (failure.joinedSinceLogin)
        return QStringLiteral("permission denied. The user %1 is in the %2 group, but this session began before "
                              "that: log out and log in again")
            .arg(failure.user, failure.group);
    return QStringLiteral("permission denied. Add the user %1 to the %2 group (sudo adduser %1 %2), then log in again")
        .arg(failure.user, failure.group);
}

}  // namespace

OpenFailure classifyOpenFailure(const OpenAttempt& attempt, PortMap& map)
{
    OpenFailure failure;
    failure.attempt = attempt;
    switch (attempt.error) {
    case QSerialPort::DeviceNotFoundError:
        failure.kind = OpenFailure::Kind::Missing;
        failure.present = map.presentDevices();
        failure.settingsFile = map.settingsFile();
        failure.mappedByEnvironment =
            attempt.port != 0 && map.mapping(attempt.port).source == PortMap::Source::Environment;
        break;
    case QSerialPort::PermissionError:
        if (permissionMissing(attempt.realDevice)) {
            failure.kind = OpenFailure::Kind::NotPermitted;
            failure.user = userName();
            failure.group = permittedGroup(attempt.realDevice);
            failure.joinedSinceLogin = joinedSinceLogin(failure.group, failure.user);
        } else {
            failure.kind = OpenFailure::Kind::Busy;
            failure.lock = deviceLock(attempt.realDevice);
            if (failure.lock && !failure.lock->stale()) {
                failure.server = ServeRendezvous::find({attempt.realDevice, attempt.mappedPath});
                if (failure.server && failure.server->pid != failure.lock->pid)
                    failure.server.reset();
            }
        }
        break;
    case QSerialPort::UnsupportedOperationError:
        failure.kind = OpenFailure::Kind::NotSerial;
        break;
    default:
        failure.kind = OpenFailure::Kind::Other;
        break;
    }
    return failure;
}

QString describeOpenFailure(const OpenFailure& failure)
{
    const QString what = where(failure.attempt) + QStringLiteral(" cannot be opened: ");
    switch (failure.kind) {
    case OpenFailure::Kind::Missing:
        return what + missing(failure);
    case OpenFailure::Kind::Busy:
        return what + busy(failure);
    case OpenFailure::Kind::NotPermitted:
        return what + notPermitted(failure);
    case OpenFailure::Kind::NotSerial:
        return what + QStringLiteral("it is not a serial device");
    case OpenFailure::Kind::Other:
        break;
    }
    return what + failure.attempt.systemText;
}

OperationError openFailureError(const OpenFailure& failure)
{
    int number = SerialError::OpenFailed;
    switch (failure.kind) {
    case OpenFailure::Kind::Missing:
        number = SerialError::DeviceMissing;
        break;
    case OpenFailure::Kind::Busy:
        number = SerialError::DeviceBusy;
        break;
    case OpenFailure::Kind::NotPermitted:
        number = SerialError::PermissionDenied;
        break;
    case OpenFailure::Kind::NotSerial:
    case OpenFailure::Kind::Other:
        break;
    }
    return serialError(number, describeOpenFailure(failure));
}

bool permissionMissing(const QString& device)
{
#ifdef Q_OS_UNIX
    return QFileInfo::exists(device) && ::access(QFile::encodeName(device).constData(), R_OK | W_OK) != 0;
#else
    Q_UNUSED(device);
    return false;
#endif
}

#ifdef Q_OS_UNIX
QString permittedGroup(const QString& device)
{
    struct stat info {};
    if (::stat(QFile::encodeName(device).constData(), &info) == 0 &&
        (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && info.st_gid != 0) {
        if (const group* owner = ::getgrgid(info.st_gid))
            return QString::fromLocal8Bit(owner->gr_name);
    }
    return QStringLiteral("dialout");
}
#else
QString permittedGroup(const QString&) { return QStringLiteral("dialout"); }
#endif
