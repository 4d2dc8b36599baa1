#include "port_map.h"

#include "setting_text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>
#include <QtGlobal>

#include <algorithm>

namespace {

// How long recording waits for another program that is recording.
constexpr int RecordLockWaitMs = 5000;

// The COM number an on-board port keeps: k + 1 for /dev/ttyS<k>, 0 for any other device.
std::int16_t onBoardPort(const ListedDevice& device)
{
    const QLatin1String prefix("/dev/ttyS");
    if (!device.systemLocation.startsWith(prefix))
        return 0;
    const QStringView digits = QStringView(device.systemLocation).mid(prefix.size());
    bool ok = false;
    const int index = digits.toInt(&ok);
    const bool plainNumber = ok && !digits.isEmpty() && digits.front().isDigit();
    return plainNumber && index < PortMap::LastPort ? static_cast<std::int16_t>(index + 1) : std::int16_t(0);
}

int countWith(const QList<ListedDevice>& devices, QString ListedDevice::*name, const QString& value)
{
    return int(std::count_if(devices.begin(), devices.end(),
                             [&](const ListedDevice& device) { return device.*name == value; }));
}

bool namesOnlyThis(const ListedDevice& device, QString ListedDevice::*name, const QList<ListedDevice>& present)
{
    const QString& value = device.*name;
    return !value.isEmpty() && countWith(present, name, value) == 1;
}

// A mapped path reaches a device when it is one of its unambiguous names, or a
// link to it.
bool reaches(const QString& path, const QString& real, const ListedDevice& device, const QList<ListedDevice>& present)
{
    if (path.isEmpty())
        return false;
    if (path == device.systemLocation || real == device.systemLocation)
        return true;
    return (path == device.byId && namesOnlyThis(device, &ListedDevice::byId, present)) ||
           (path == device.byPath && namesOnlyThis(device, &ListedDevice::byPath, present));
}

// /dev/ttyUSB2 before /dev/ttyUSB10: the trailing number compares as a number.
bool systemOrder(const ListedDevice& a, const ListedDevice& b)
{
    const auto split = [](const QString& location) {
        qsizetype digits = location.size();
        while (digits > 0 && location.at(digits - 1).isDigit())
            --digits;
        return std::pair(location.left(digits), location.mid(digits).toLongLong());
    };
    return split(a.systemLocation) < split(b.systemLocation);
}

}  // namespace

PortMap::PortMap(QSettings& settings, const DeviceListing& listing) : settings_(settings), listing_(listing) {}

QString PortMap::portName(std::int16_t port) { return QStringLiteral("COM%1").arg(port); }

QString PortMap::environmentVariable(std::int16_t port) { return QStringLiteral("TAVRIN_COM%1").arg(port); }

QString PortMap::settingsKey(std::int16_t port) { return QStringLiteral("Ports/COM%1").arg(port); }

QString PortMap::platformDefault(std::int16_t port)
{
#ifdef Q_OS_WIN
    return portName(port);
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

QString PortMap::realDevice(const QString& mappedPath)
{
#ifdef Q_OS_UNIX
    // As QSerialPort reads a port name: one that is not absolute is in /dev.
    const QString full = mappedPath.startsWith(QLatin1Char('/')) ? mappedPath : QStringLiteral("/dev/") + mappedPath;
#else
    const QString& full = mappedPath;
#endif
    const QString real = QFileInfo(full).canonicalFilePath();
    return real.isEmpty() ? full : real;
}

QString PortMap::stablePath(const ListedDevice& device, const QList<ListedDevice>& present)
{
    if (!device.serialNumber.isEmpty() && namesOnlyThis(device, &ListedDevice::byId, present))
        return device.byId;
    if (namesOnlyThis(device, &ListedDevice::byPath, present))
        return device.byPath;
    return device.systemLocation;
}

PortMap::Mapping PortMap::explicitMapping(std::int16_t port) const
{
    const QByteArray fromEnv = qgetenv(environmentVariable(port).toLatin1().constData());
    if (!fromEnv.trimmed().isEmpty())
        return {QString::fromLocal8Bit(fromEnv.trimmed()), Source::Environment};
    const QString fromSettings = settingText(settings_.value(settingsKey(port)), u",").trimmed();
    if (!fromSettings.isEmpty())
        return {fromSettings, Source::Settings};
    return {{}, Source::Default};
}

bool PortMap::assignmentStands(std::int16_t port) const
{
    const QString& assigned = assigned_[std::size_t(port)];
    if (assigned.isEmpty() || explicitMapping(port).source != Source::Default)
        return false;
    const QString real = realDevice(assigned);
    for (std::int16_t other = FirstPort; other <= LastPort; ++other) {
        const Mapping mapped = explicitMapping(other);
        if (other != port && mapped.source != Source::Default &&
            (mapped.path == assigned || realDevice(mapped.path) == real))
            return false;
    }
    return true;
}

PortMap::Mapping PortMap::mapping(std::int16_t port) const
{
    settings_.sync();
    Mapping found = explicitMapping(port);
    if (found.source != Source::Default)
        return found;
    if (port >= FirstPort && port <= LastPort && assignmentStands(port))
        return {assigned_[std::size_t(port)], Source::Assignment};
    return {platformDefault(port), Source::Default};
}

QString PortMap::pathRecordingNewDevices(std::int16_t port)
{
    Mapping found = mapping(port);
    if (found.source == Source::Default && !recordedOnce_ && port >= FirstPort && port <= LastPort) {
        recordNewDevices();
        found = mapping(port);
    }
    return found.path;
}

QList<std::int16_t> PortMap::mappedPorts() const
{
    QList<std::int16_t> ports;
    for (std::int16_t port = FirstPort; port <= LastPort; ++port)
        ports << port;
    // Only the exact spelling a mapping is read by: COM<n>.
    const auto add = [&ports](QStringView name) {
        if (!name.startsWith(u"COM"))
            return;
        const QStringView digits = name.mid(3);
        bool ok = false;
        const int number = digits.toInt(&ok);
        if (ok && number > LastPort && number <= 9999 && digits.front().isDigit() && digits.front() != u'0' &&
            !ports.contains(std::int16_t(number)))
            ports << std::int16_t(number);
    };
    const QLatin1String prefix("TAVRIN_");
    for (const QString& variable : QProcessEnvironment::systemEnvironment().keys())
        if (variable.startsWith(prefix) && !qEnvironmentVariableIsEmpty(qPrintable(variable)))
            add(QStringView(variable).mid(prefix.size()));
    settings_.sync();
    settings_.beginGroup(QStringLiteral("Ports"));
    for (const QString& key : settings_.childKeys())
        if (!settingText(settings_.value(key), u",").trimmed().isEmpty())
            add(key);
    settings_.endGroup();
    std::sort(ports.begin() + LastPort, ports.end());
    return ports;
}

QList<PortMap::Assignment> PortMap::recordNewDevices()
{
    // Listing reads every tty through udev: done before the file is locked.
    relist();
    recordedOnce_ = true;
    const QString file = settingsFile();
    QDir().mkpath(QFileInfo(file).absolutePath());
    // Another program numbering at the same moment waits here, then sees
    // what this one recorded.
    QLockFile lock(file + QStringLiteral(".ports-lock"));
    if (!lock.tryLock(RecordLockWaitMs) && lock.error() == QLockFile::LockFailedError) {
        storeFailed(QStringLiteral("another program kept the settings file locked (%1)")
                        .arg(QDir::toNativeSeparators(lock.fileName())));
        return {};
    }
    settings_.sync();
    const QList<Assignment> made = numberNewDevices(*listed_);
    if (!made.isEmpty())
        recordInFile(made);
    return made;
}

QList<PortMap::Assignment> PortMap::numberNewDevices(const QList<ListedDevice>& devices)
{
    for (std::int16_t port = FirstPort; port <= LastPort; ++port)
        if (!assignmentStands(port))
            assigned_[std::size_t(port)].clear();

    // Mappings of the environment, of the file (a key that is there, even
    // empty, is never replaced) and of this program hold their numbers.
    const ResolvedPorts mapped = resolvedPorts();
    std::array<bool, LastPort + 1> held{};
    for (std::int16_t port = FirstPort; port <= LastPort; ++port)
        held[std::size_t(port)] =
            mapped[std::size_t(port)].mapping.source != Source::Default || settings_.contains(settingsKey(port));
    const auto reachedByAMapping = [&](const ListedDevice& device) {
        for (std::int16_t port = FirstPort; port <= LastPort; ++port) {
            const Resolved& entry = mapped[std::size_t(port)];
            if (entry.mapping.source != Source::Default && reaches(entry.mapping.path, entry.real, device, devices))
                return true;
        }
        return false;
    };
    // An on-board port nobody moved keeps its own number.
    for (const ListedDevice& device : devices) {
        if (const std::int16_t port = onBoardPort(device); port != 0 && !reachedByAMapping(device))
            held[std::size_t(port)] = true;
    }

    QList<Assignment> made;
    for (const ListedDevice& device : devices) {
        if (onBoardPort(device) != 0 || reachedByAMapping(device))
            continue;
        const auto free = std::find(held.begin() + FirstPort, held.end(), false);
        if (free == held.end())
            break;  // every number is taken: this device and those after it get none
        const auto port = static_cast<std::int16_t>(free - held.begin());
        *free = true;
        const QString path = stablePath(device, devices);
        assigned_[std::size_t(port)] = path;
        made << Assignment{port, path};
    }
    return made;
}

void PortMap::recordInFile(const QList<Assignment>& made)
{
    for (const Assignment& assignment : made)
        settings_.setValue(settingsKey(assignment.port), assignment.path);
    settings_.sync();
    if (!fileHolds(made))
        storeFailed(QStringLiteral("the file could not be written"));
}

bool PortMap::fileHolds(const QList<Assignment>& made) const
{
#ifdef Q_OS_WIN
    if (settings_.format() == QSettings::NativeFormat)
        return settings_.status() == QSettings::NoError;
#endif
    // QSettings also reports a line it could not read, and drops it when it
    // rewrites the file, so only the file read back tells whether it was
    // written. It shares what it has read of one file across the process, so
    // a copy is read.
    const QTemporaryDir folder;
    const QString copy = folder.filePath(QStringLiteral("written.conf"));
    if (!folder.isValid() || !QFile::copy(settingsFile(), copy))
        return false;
    const QSettings written(copy, QSettings::IniFormat);
    for (const Assignment& assignment : made) {
        if (written.value(settingsKey(assignment.port)).toString() != assignment.path)
            return false;
    }
    return true;
}

void PortMap::storeFailed(const QString& why)
{
    if (storeFailedOnce_)
        return;
    storeFailedOnce_ = true;
    storeError_ = OperationError(ErrorNumber::SettingsAccess, ErrorSource::App,
                                 QStringLiteral("the COM numbers given to new serial devices could not be saved in "
                                                "%1 (%2); they hold until the program ends")
                                     .arg(QDir::toNativeSeparators(settingsFile()), why));
}

std::optional<OperationError> PortMap::takeStoreError()
{
    std::optional<OperationError> error;
    error.swap(storeError_);
    return error;
}

QList<PortMap::PresentDevice> PortMap::presentDevices()
{
    relist();
    settings_.sync();
    const QList<ListedDevice>& devices = *listed_;
    const ResolvedPorts mapped = resolvedPorts();
    QList<PresentDevice> present;
    for (const ListedDevice& device : devices) {
        PresentDevice entry{device, stablePath(device, devices), 0};
        for (std::int16_t port = FirstPort; port <= LastPort && entry.port == 0; ++port) {
            const Resolved& resolved = mapped[std::size_t(port)];
            if (reaches(resolved.mapping.path, resolved.real, device, devices))
                entry.port = port;
        }
        present << entry;
    }
    return present;
}

std::optional<ListedDevice> PortMap::listedDeviceOf(std::int16_t port) const
{
    const QString path = mapping(port).path;
    const QString real = realDevice(path);
    const QList<ListedDevice>& devices = listed();
    for (const ListedDevice& device : devices) {
        if (reaches(path, real, device, devices))
            return device;
    }
    return std::nullopt;
}

PortMap::ResolvedPorts PortMap::resolvedPorts() const
{
    ResolvedPorts mapped;
    for (std::int16_t port = FirstPort; port <= LastPort; ++port) {
        Resolved& entry = mapped[std::size_t(port)];
        entry.mapping = explicitMapping(port);
        if (entry.mapping.source == Source::Default && assignmentStands(port))
            entry.mapping = {assigned_[std::size_t(port)], Source::Assignment};
        else if (entry.mapping.source == Source::Default)
            entry.mapping.path = platformDefault(port);
        entry.real = realDevice(entry.mapping.path);
    }
    return mapped;
}

QString PortMap::settingsFile() const { return settings_.fileName(); }

const QList<ListedDevice>& PortMap::listed() const
{
    if (!listed_) {
        QList<ListedDevice> devices = listing_.presentDevices();
        std::sort(devices.begin(), devices.end(), systemOrder);
        listed_ = std::move(devices);
    }
    return *listed_;
}

void PortMap::relist()
{
    listed_.reset();
    listed();
}

std::unique_ptr<QSettings> openPanelSettings()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Tavrin"),
                                       QStringLiteral("TavrinV1.3prj"));
}
