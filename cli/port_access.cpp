// Over the panel's port map (so COM<n> is what the panel's list shows, new
// adapters numbered as the panel numbers them) and QSerialPort's own errors,
// with the holder read from the device's lock file.
#include "port_access.h"

#include "host_device_listing.h"
#include "open_failure.h"
#include "port_map.h"

#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>

#include <algorithm>

namespace PortAccess {

namespace {

const QRegularExpression& comPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^COM([1-9][0-9]{0,3})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

// The port map over the panel's settings and the devices present.
struct PanelPortMap {
    std::unique_ptr<QSettings> settings = openPanelSettings();
    HostDeviceListing listing;
    PortMap map{*settings, listing};
};

Port comPort(PortMap& map, int number)
{
    const auto port = static_cast<std::int16_t>(number);
    return Port{PortMap::portName(port), map.resolve(port)};
}

QList<int> furtherMappedPorts(QSettings& settings)
{
    QList<int> numbers;
    const auto add = [&numbers](const QString& name) {
        const QRegularExpressionMatch match = comPattern().match(name);
        // Only the exact spelling the mapping itself reads: "COM<n>".
        if (match.hasMatch() && name.startsWith(QLatin1String("COM"))) {
            const int number = match.captured(1).toInt();
            if (number > PortMap::LastPort && !numbers.contains(number))
                numbers << number;
        }
    };
    for (const QString& variable : QProcessEnvironment::systemEnvironment().keys())
        if (variable.startsWith(QLatin1String("TAVRIN_")) && !qEnvironmentVariableIsEmpty(qPrintable(variable)))
            add(variable.mid(7));
    settings.beginGroup(QStringLiteral("Ports"));
    for (const QString& key : settings.childKeys())
        if (!settings.value(key).toString().isEmpty())
            add(key);
    settings.endGroup();
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

// The group that may open the device is the panel's answer too.
QString permissionFix(const QString& device)
{
    return QStringLiteral("permission denied: add the user to the group %1 (sudo adduser $USER %1), then log in again")
        .arg(permittedGroup(device));
}

OpenResult failed(const Port& port, const QString& device, OpenFailure failure, const QString& why)
{
    return OpenResult{nullptr, device, failure, QStringLiteral("%1 cannot be opened: %2").arg(describe(port), why)};
}

}  // namespace

std::optional<Port> resolve(const QString& value)
{
    const QRegularExpressionMatch match = comPattern().match(value);
    if (match.hasMatch()) {
        PanelPortMap ports;
        return comPort(ports.map, match.captured(1).toInt());
    }
    if (value.contains(QLatin1Char('/')))
        return Port{value, value};
    return std::nullopt;
}

QString describe(const Port& port)
{
    if (port.name == port.device)
        return port.device;
    return QStringLiteral("%1 (%2)").arg(port.name, port.device);
}

QList<PortState> listPorts()
{
    PanelPortMap map;
    QList<int> numbers;
    for (int number = PortMap::FirstPort; number <= PortMap::LastPort; ++number)
        numbers << number;
    numbers << furtherMappedPorts(*map.settings);

    QList<PortState> ports;
    for (int number : numbers) {
        PortState state{comPort(map.map, number), false, std::nullopt};
        state.present = QFileInfo::exists(state.port.device);
        if (state.present)
            state.holder = deviceLockOwner(PortMap::realDevice(state.port.device));
        ports << state;
    }
    return ports;
}

OpenResult open(const Port& port)
{
    const QString device = PortMap::realDevice(port.device);
    auto serial = std::make_unique<QSerialPort>();
    serial->setPortName(device);
    serial->setBaudRate(QSerialPort::Baud9600);
    serial->setDataBits(QSerialPort::Data8);
    serial->setParity(QSerialPort::NoParity);
    serial->setStopBits(QSerialPort::OneStop);
    serial->setFlowControl(QSerialPort::NoFlowControl);
    if (serial->open(QIODevice::ReadWrite))
        return OpenResult{std::move(serial), device, OpenFailure::None, {}};

    switch (serial->error()) {
    case QSerialPort::DeviceNotFoundError:
        return failed(port, device, OpenFailure::Missing, QStringLiteral("it is missing (no such device)"));
    case QSerialPort::PermissionError:
        // QSerialPort says the same for a lock another program holds, for a
        // device opened exclusively, and for a device the user may not open.
        if (const auto holder = deviceLockOwner(device))
            return failed(
                port, device, OpenFailure::Busy,
                QStringLiteral("it is busy, held by %1 (process %2)").arg(holder->programName()).arg(holder->pid));
        if (permissionMissing(device))
            return failed(port, device, OpenFailure::NotPermitted, permissionFix(device));
        return failed(port, device, OpenFailure::Busy, QStringLiteral("it is busy, held by another program"));
    case QSerialPort::UnsupportedOperationError:
        return failed(port, device, OpenFailure::Other, QStringLiteral("it is not a serial device"));
    default:
        return failed(port, device, OpenFailure::Other, serial->errorString());
    }
}

}  // namespace PortAccess
