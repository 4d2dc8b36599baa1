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

QString userName()
{
#ifdef Q_OS_UNIX
    const passwd* user = ::getpwuid(::geteuid());
    return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(::geteuid());
#else
    return {};
#endif
}

namespace {

#ifdef Q_OS_UNIX

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

QString groupName(gid_t id)
{
    const group* entry = ::getgrgid(id);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(id);
}

// The groups this process is in: its effective group and the supplementary
// ones (such as a service's SupplementaryGroups=), which need not be listed
// in /etc/group.
QStringList processGroups()
{
    QStringList names{groupName(::getegid())};
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(std::size_t(count > 0 ? count : 0));
    if (count > 0 && ::getgroups(count, groups.data()) >= 0) {
        for (gid_t id : groups) {
            if (const QString name = groupName(id); !names.contains(name))
                names << name;
        }
    }
    return names;
}

void readDeviceOwnership(const QString& device, OpenFailure& failure)
{
    struct stat info {};
    if (::stat(QFile::encodeName(device).constData(), &info) != 0)
        return;
    failure.deviceGroup = groupName(info.st_gid);
    failure.deviceMode = info.st_mode & 07777;
}
#else
bool joinedSinceLogin(const QString&, const QString&) { return false; }
QStringList processGroups() { return {}; }
void readDeviceOwnership(const QString&, OpenFailure&) {}
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
                              "but upgrade) for its own user, or for the device's group when it runs as a service; "
                              "anyone else needs its token (--server %2 --token-file FILE); to use the port itself, "
                              "stop that server, and try again")
            .arg(failure.server->describe(), failure.server->url);
    if (failure.serverNotFound)
        return QStringLiteral("the device is in use by orvessa serve (process %1), which this command did not find: "
                              "its address file is not in $XDG_RUNTIME_DIR/tavrin, /run/tavrin or a folder in it as "
                              "this user sees them (a server run by another user, or with another XDG_RUNTIME_DIR); "
                              "run the command as the server's user with its XDG_RUNTIME_DIR, or reach it with "
                              "--server URL --token-file FILE")
            .arg(lock.pid);
    return QStringLiteral("the device is in use by %1; %2").arg(lock.describe(), nextStepFor(lock));
}

// The device's group and mode, why they keep this user out, and what lets it
// in: for when adding the user to the group that may open the device would not
// do, because the user is in it already or the device is not that group's.
QString deviceShutsOut(const OpenFailure& failure)
{
    const QString& device = failure.attempt.realDevice;
    const QString& group = failure.group;
    const QString& deviceGroup = failure.deviceGroup;
    const QString& user = failure.user;
    const bool groupMayOpen = (failure.deviceMode & 060) == 060;
    QString text = QStringLiteral("permission denied. %1 belongs to group %2 with mode %3; ")
                       .arg(device, deviceGroup, QString::number(failure.deviceMode, 8).rightJustified(4, u'0'));
    if (deviceGroup == group && groupMayOpen)
        return text + QStringLiteral("this user (%1) is in %2, yet may not read and write it: an access control list "
                                     "or a security module refuses it (getfacl %3)")
                          .arg(user, group, device);
    const bool inGroup = failure.userGroups.contains(group);
    if (failure.userGroups.contains(deviceGroup))
        text += QStringLiteral("this user (%1) is in %2, but its mode does not let the group read and write it: ")
                    .arg(user, deviceGroup);
    else if (inGroup)
        text += QStringLiteral("this user (%1) is in %2 but not in %3: ").arg(user, group, deviceGroup);
    else
        text += QStringLiteral("this user (%1) is not in %2: ").arg(user, deviceGroup);
    text += QStringLiteral("give it to the %1 group with mode 0660 by a udev rule (GROUP=\"%1\", MODE=\"0660\" in a "
                           "rule matching the device, in /etc/udev/rules.d)")
                .arg(group);
    if (inGroup)
        return text;
    if (failure.joinedSinceLogin)
        return text + QStringLiteral(", then log out and log in again: the user %1 is in the %2 group, but this "
                                     "session began before that")
                          .arg(user, group);
    return text + QStringLiteral(", and add the user %1 to the %2 group (sudo adduser %1 %2), then log in again")
                      .arg(user, group);
}

QString notPermitted(const OpenFailure& failure)
{
    if (failure.user.isEmpty())
        return QStringLiteral("permission denied");
    // Adding the user to the group fixes it when the device is that group's
    // and the group may read and write it; otherwise the device's own facts
    // say what does.
    const bool joiningFixesIt = failure.deviceGroup == failure.group && (failure.deviceMode & 060) == 060;
    if (!failure.deviceGroup.isEmpty() && (!joiningFixesIt || failure.userGroups.contains(failure.group)))
        return deviceShutsOut(failure);
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
            failure.userGroups = processGroups();
            readDeviceOwnership(attempt.realDevice, failure);
        } else {
            failure.kind = OpenFailure::Kind::Busy;
            failure.lock = deviceLock(attempt.realDevice);
            if (failure.lock && !failure.lock->stale()) {
                failure.server = ServeRendezvous::find({attempt.realDevice, attempt.mappedPath});
                if (failure.server && failure.server->pid != failure.lock->pid)
                    failure.server.reset();
                failure.serverNotFound = !failure.server && processServes(failure.lock->pid);
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
