#include "port_map.h"

#include "setting_text.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QtGlobal>

#include <algorithm>

namespace {

// The COM number an on-board port keeps: k + 1 for /dev/ttyS<k>, 0 for any other device.
std::int16_t onBoardPort(const SerialDevice& device)
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

int countWith(const QList<SerialDevice>& devices, QString SerialDevice::*name, const QString& value)
{
    return int(std::count_if(devices.begin(), devices.end(),
                             [&](const SerialDevice& device) { return device.*name == value; }));
}

bool namesOnlyThis(const SerialDevice& device, QString SerialDevice::*name, const QList<SerialDevice>& present)
{
    const QString& value = device.*name;
    return !value.isEmpty() && countWith(present, name, value) == 1;
}

// A mapped path reaches a device when it is one of its unambiguous names, or a
// link to it.
bool reaches(const QString& path, const QString& real, const SerialDevice& device, const QList<SerialDevice>& present)
{
    if (path.isEmpty())
        return false;
    if (path == device.systemLocation || real == device.systemLocation)
        return true;
    return (path == device.byId && namesOnlyThis(device, &SerialDevice::byId, present)) ||
           (path == device.byPath && namesOnlyThis(device, &SerialDevice::byPath, present));
}

// /dev/ttyUSB2 before /dev/ttyUSB10: the trailing number compares as a number.
bool systemOrder(const SerialDevice& a, const SerialDevice& b)
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

QString PortMap::realDevice(const QString& path)
{
#ifdef Q_OS_UNIX
    const QString full = path.contains(QLatin1Char('/')) ? path : QStringLiteral("/dev/") + path;
#else
    const QString& full = path;
#endif
    const QString real = QFileInfo(full).canonicalFilePath();
    return real.isEmpty() ? path : real;
}

QString PortMap::portLabel(std::int16_t port, const QString& path) { return portLabel(port, path, realDevice(path)); }

QString PortMap::portLabel(std::int16_t port, const QString& path, const QString& real)
{
    if (real == path)
        return QStringLiteral("%1 (%2)").arg(portName(port), path);
    return QStringLiteral("%1 (%2 → %3)").arg(portName(port), path, real);
}

QString PortMap::stablePath(const SerialDevice& device, const QList<SerialDevice>& present)
{
    if (namesOnlyThis(device, &SerialDevice::byId, present))
        return device.byId;
    if (namesOnlyThis(device, &SerialDevice::byPath, present))
        return device.byPath;
    return device.systemLocation;
}

QString PortMap::deviceText(const SerialDevice& device)
{
    QString text = device.description;
    if (text.isEmpty())
        text = device.systemLocation.startsWith(QLatin1String("/dev/ttyS")) ? QStringLiteral("on-board serial port")
                                                                            : QStringLiteral("serial port");
    if (!device.serialNumber.isEmpty())
        text += QStringLiteral(", serial ") + device.serialNumber;
    return text + QStringLiteral(" (") + device.systemLocation + QLatin1Char(')');
}

PortMap::Mapping PortMap::mapping(std::int16_t port) const
{
    const QByteArray fromEnv = qgetenv(environmentVariable(port).toLatin1().constData());
    if (!fromEnv.trimmed().isEmpty())
        return {QString::fromLocal8Bit(fromEnv.trimmed()), Source::Environment};
    const QString fromSettings = settingText(settings_.value(settingsKey(port)), u",").trimmed();
    if (!fromSettings.isEmpty())
        return {fromSettings, Source::Settings};
    if (port >= FirstPort && port <= LastPort && !assigned_[std::size_t(port)].isEmpty())
        return {assigned_[std::size_t(port)], Source::Assignment};
    return {platformDefault(port), Source::Default};
}

QString PortMap::resolve(std::int16_t port)
{
    Mapping found = mapping(port);
    if (found.source == Source::Default && !assignedOnce_) {
        assignNewDevices();
        found = mapping(port);
    }
    return found.path;
}

QList<PortMap::Assignment> PortMap::assignNewDevices()
{
    settings_.sync();
    relist();
    assignedOnce_ = true;
    const QList<SerialDevice>& devices = *listed_;

    // Mappings of the operator, of earlier runs and of this run hold their numbers.
    const ResolvedPorts mapped = resolvedPorts();
    std::array<bool, LastPort + 1> held{};
    for (std::int16_t port = FirstPort; port <= LastPort; ++port)
        held[std::size_t(port)] = mapped[std::size_t(port)].mapping.source != Source::Default;
    const auto reachedByAMapping = [&](const SerialDevice& device) {
        for (std::int16_t port = FirstPort; port <= LastPort; ++port) {
            const Resolved& entry = mapped[std::size_t(port)];
            if (held[std::size_t(port)] && reaches(entry.mapping.path, entry.real, device, devices))
                return true;
        }
        return false;
    };
    // An on-board port nobody moved keeps its own number.
    for (const SerialDevice& device : devices) {
        if (const std::int16_t port = onBoardPort(device); port != 0 && !reachedByAMapping(device))
            held[std::size_t(port)] = true;
    }

    QList<Assignment> made;
    for (const SerialDevice& device : devices) {
        if (onBoardPort(device) != 0 || reachedByAMapping(device))
            continue;
        const auto free = std::find(held.begin() + FirstPort, held.end(), false);
        if (free == held.end())
            break;  // every number is taken: this device and those after it get none
        const auto port = static_cast<std::int16_t>(free - held.begin());
        *free = true;
        const QString path = stablePath(device, devices);
        assigned_[std::size_t(port)] = path;
        settings_.setValue(settingsKey(port), path);
        made << Assignment{port, path};
    }
    if (!made.isEmpty()) {
        settings_.sync();
        if (settings_.status() != QSettings::NoError && !storeFailed_) {
            storeFailed_ = true;
            storeError_ = OperationError(
                ErrorNumber::SettingsAccess, ErrorSource::App,
                QStringLiteral("the COM numbers given to new serial devices could not be saved in %1; they hold "
                               "until the program ends")
                    .arg(QDir::toNativeSeparators(settingsFile())));
        }
    }
    return made;
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
    const QList<SerialDevice>& devices = *listed_;
    const ResolvedPorts mapped = resolvedPorts();
    QList<PresentDevice> present;
    for (const SerialDevice& device : devices) {
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

PortMap::ResolvedPorts PortMap::resolvedPorts() const
{
    ResolvedPorts mapped;
    for (std::int16_t port = FirstPort; port <= LastPort; ++port) {
        Resolved& entry = mapped[std::size_t(port)];
        entry.mapping = mapping(port);
        entry.real = realDevice(entry.mapping.path);
    }
    return mapped;
}

QString PortMap::describe(std::int16_t port) const
{
    const QString path = mapping(port).path;
    const QString real = realDevice(path);
    const QList<SerialDevice>& devices = listed();
    for (const SerialDevice& device : devices) {
        if (reaches(path, real, device, devices))
            return portName(port) + QStringLiteral(": ") + deviceText(device);
    }
    const QFileInfo info(real);
    QString what = QStringLiteral("no device");
    if (real.startsWith(QLatin1String("/dev/pts/")) && info.exists())
        what = QStringLiteral("pseudo-terminal");
    else if (info.exists() && (info.isFile() || info.isDir()))
        what = QStringLiteral("not a serial device");
    return QStringLiteral("%1: %2 (%3)").arg(portName(port), what, info.exists() ? real : path);
}

QString PortMap::settingsFile() const { return settings_.fileName(); }

const QList<SerialDevice>& PortMap::listed() const
{
    if (!listed_) {
        QList<SerialDevice> devices = listing_.presentDevices();
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
