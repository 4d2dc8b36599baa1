#include "open_failure.h"

#include "lock_owner.h"
#include "port_map.h"
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

QString missingDevice(const OpenAttempt& attempt, PortMap& map)
{
    QStringList present;
    for (const PortMap::PresentDevice& entry : map.presentDevices()) {
        const QString number = entry.port != 0 ? PortMap::portName(entry.port) : QStringLiteral("no COM number");
        present << number + QStringLiteral(": ") + PortMap::deviceText(entry.device);
    }
    const QString devices = present.isEmpty()
                                ? QStringLiteral("No serial device is present.")
                                : QStringLiteral("Serial devices present: %1.").arg(present.join(QStringLiteral("; ")));
    const QString com = PortMap::portName(attempt.port);
    const QString variable = PortMap::environmentVariable(attempt.port);
    QString howToMap = QStringLiteral("To map %1 to a device, set the environment variable %2=<device>, or %1=<device> "
                                      "in the [Ports] group of %3.")
                           .arg(com, variable, QDir::toNativeSeparators(map.settingsFile()));
    if (map.mapping(attempt.port).source == PortMap::Source::Environment)
        howToMap += QStringLiteral(" %1 is set now, and comes before the settings file.").arg(variable);
    return QStringLiteral("the device does not exist. %1 %2").arg(devices, howToMap);
}

QString busyDevice(const OpenAttempt& attempt)
{
    const std::optional<LockOwner> owner = deviceLockOwner(attempt.device);
    if (!owner)
        return QStringLiteral("the device is in use by another program; close it and try again");
    const QString program = owner->programName();
    if (owner->pid == QCoreApplication::applicationPid())
        return QStringLiteral("the device is in use by this program, %1 (process %2)").arg(program).arg(owner->pid);
    return QStringLiteral("the device is in use by another program, %1 (process %2); close it and try again")
        .arg(program)
        .arg(owner->pid);
}

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
#endif

QString notPermitted(const OpenAttempt& attempt)
{
#ifdef Q_OS_UNIX
    const QString user = userName();
    const QString group = permittedGroup(attempt.device);
    if (joinedSinceLogin(group, user))
        return QStringLiteral("permission denied. The user %1 is in the %2 group, but this session began before "
                              "that: log out and log in again")
            .arg(user, group);
    return QStringLiteral("permission denied. Add the user %1 to the %2 group (sudo adduser %1 %2), then log in again")
        .arg(user, group);
#else
    Q_UNUSED(attempt);
    return QStringLiteral("permission denied");
#endif
}

}  // namespace

OperationError openFailure(const OpenAttempt& attempt, PortMap& map)
{
    const QString what =
        PortMap::portLabel(attempt.port, attempt.path, attempt.device) + QStringLiteral(" cannot be opened: ");
    switch (attempt.error) {
    case QSerialPort::DeviceNotFoundError:
        return serialError(SerialError::DeviceMissing, what + missingDevice(attempt, map));
    case QSerialPort::PermissionError:
        // Qt says the same for a device it may not open and one that another
        // program holds (its lock file, or the exclusive mode of the device).
        if (permissionMissing(attempt.device))
            return serialError(SerialError::PermissionDenied, what + notPermitted(attempt));
        return serialError(SerialError::DeviceBusy, what + busyDevice(attempt));
    case QSerialPort::UnsupportedOperationError:
        return serialError(SerialError::OpenFailed, what + QStringLiteral("it is not a serial device"));
    default:
        return serialError(SerialError::OpenFailed, what + attempt.systemText);
    }
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
