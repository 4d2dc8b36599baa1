// Over the panel's port map (so COM<n> is what the panel's list shows, new
// adapters numbered as the panel numbers them) and the link layer's reading
// of a failed opening and of lock files.
#include "port_access.h"

#include "host_device_listing.h"
#include "port_map.h"

#include <QFileInfo>
#include <QSettings>

namespace PortAccess {

namespace {

// The port map over the panel's settings and the devices present.
struct PanelPortMap {
    std::unique_ptr<QSettings> settings = openPanelSettings();
    HostDeviceListing listing;
    PortMap map{*settings, listing};
};

// The number of "COM<n>", any case, n from 1 to 9999; 0 for anything else.
std::int16_t comNumber(const QString& value)
{
    if (!value.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return 0;
    const QStringView digits = QStringView(value).mid(3);
    bool ok = false;
    const int number = digits.toInt(&ok);
    const bool plain = ok && !digits.isEmpty() && digits.size() <= 4 && digits.front() >= u'1' &&
                       digits.front() <= u'9' && digits.back().isDigit();
    return plain ? std::int16_t(number) : std::int16_t(0);
}

}  // namespace

std::optional<Port> portRecordingNewDevices(const QString& value)
{
    if (const std::int16_t number = comNumber(value); number != 0) {
        PanelPortMap ports;
        return Port{PortMap::portName(number), ports.map.pathRecordingNewDevices(number), number};
    }
    if (value.contains(QLatin1Char('/')))
        return Port{value, value, 0};
    return std::nullopt;
}

QString describe(const Port& port)
{
    if (port.number == 0)
        return port.mappedPath;
    return QStringLiteral("%1 (%2)").arg(port.name, port.mappedPath);
}

PortListing listPorts()
{
    PanelPortMap ports;
    PortListing listing;
    ports.map.recordNewDevices();
    if (const std::optional<OperationError> failure = ports.map.takeStoreError())
        listing.storeFailure = failure->description();
    for (const std::int16_t number : ports.map.mappedPorts()) {
        PortState state;
        state.port = Port{PortMap::portName(number), ports.map.mapping(number).path, number};
        state.realDevice = PortMap::realDevice(state.port.mappedPath);
        state.present = QFileInfo::exists(state.realDevice);
        if (state.present)
            state.lock = deviceLock(state.realDevice);
        listing.ports << state;
    }
    return listing;
}

QString realDevice(const Port& port) { return PortMap::realDevice(port.mappedPath); }

OpenResult open(const Port& port)
{
    const QString device = realDevice(port);
    auto serial = std::make_unique<QSerialPort>();
    serial->setPortName(device);
    serial->setBaudRate(QSerialPort::Baud9600);
    serial->setDataBits(QSerialPort::Data8);
    serial->setParity(QSerialPort::NoParity);
    serial->setStopBits(QSerialPort::OneStop);
    serial->setFlowControl(QSerialPort::NoFlowControl);
    if (serial->open(QIODevice::ReadWrite))
        return OpenResult{std::move(serial), device, std::nullopt};
    PanelPortMap ports;
    const OpenAttempt attempt{port.number, port.mappedPath, device, serial->error(), serial->errorString()};
    return OpenResult{nullptr, device, classifyOpenFailure(attempt, ports.map)};
}

}  // namespace PortAccess
