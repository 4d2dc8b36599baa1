#include "host_device_listing.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSerialPortInfo>

namespace {

// Device path -> the link in `folder` that points to it.
QHash<QString, QString> linksByDevice(const QString& folder)
{
    QHash<QString, QString> links;
    const QDir dir(folder);
    for (const QFileInfo& link :
         dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString target = link.canonicalFilePath();
        if (!target.isEmpty())
            links.insert(target, link.absoluteFilePath());
    }
    return links;
}

// What udev builds a by-id name from: the same for identical adapters.
QString identityOf(const QSerialPortInfo& port)
{
    return QStringLiteral("%1:%2:%3:%4:%5")
        .arg(port.vendorIdentifier())
        .arg(port.productIdentifier())
        .arg(port.manufacturer(), port.description(), port.serialNumber());
}

}  // namespace

QList<ListedDevice> HostDeviceListing::presentDevices() const
{
    const QHash<QString, QString> byId = linksByDevice(QStringLiteral("/dev/serial/by-id"));
    const QHash<QString, QString> byPath = linksByDevice(QStringLiteral("/dev/serial/by-path"));
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();

    QHash<QString, QString> byIdOfIdentity;
    for (const QSerialPortInfo& port : ports) {
        const QString link = byId.value(port.systemLocation());
        if (!link.isEmpty() && port.hasVendorIdentifier())
            byIdOfIdentity.insert(identityOf(port), link);
    }

    QList<ListedDevice> devices;
    for (const QSerialPortInfo& port : ports) {
        ListedDevice device;
        device.systemLocation = port.systemLocation();
        device.description = port.description();
        device.serialNumber = port.serialNumber();
        device.byId = byId.value(device.systemLocation);
        if (device.byId.isEmpty() && port.hasVendorIdentifier())
            device.byId = byIdOfIdentity.value(identityOf(port));
        device.byPath = byPath.value(device.systemLocation);
        devices << device;
    }
    return devices;
}
