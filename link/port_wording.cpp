#include "port_wording.h"

#include "port_map.h"

#include <QFileInfo>

namespace PortWording {

QString portLabel(std::int16_t port, const QString& mappedPath, const QString& realDevice)
{
    if (realDevice == mappedPath)
        return QStringLiteral("%1 (%2)").arg(PortMap::portName(port), mappedPath);
    return QStringLiteral("%1 (%2 → %3)").arg(PortMap::portName(port), mappedPath, realDevice);
}

QString portLabel(std::int16_t port, const QString& mappedPath)
{
    return portLabel(port, mappedPath, PortMap::realDevice(mappedPath));
}

QString deviceText(const ListedDevice& device)
{
    QString text = device.description;
    if (text.isEmpty())
        text = device.systemLocation.startsWith(QLatin1String("/dev/ttyS")) ? QStringLiteral("on-board serial port")
                                                                            : QStringLiteral("serial port");
    if (!device.serialNumber.isEmpty())
        text += QStringLiteral(", serial ") + device.serialNumber;
    return text + QStringLiteral(" (") + device.systemLocation + QLatin1Char(')');
}

QString describePort(const PortMap& map, std::int16_t port)
{
    const QString name = PortMap::portName(port);
    if (const std::optional<ListedDevice> device = map.listedDeviceOf(port))
        return name + QStringLiteral(": ") + deviceText(*device);
    const QString path = map.mapping(port).path;
    const QString real = PortMap::realDevice(path);
    const QFileInfo info(real);
    QString what = QStringLiteral("no device");
    if (real.startsWith(QLatin1String("/dev/pts/")) && info.exists())
        what = QStringLiteral("pseudo-terminal");
    else if (info.exists() && (info.isFile() || info.isDir()))
        what = QStringLiteral("not a serial device");
    return QStringLiteral("%1: %2 (%3)").arg(name, what, info.exists() ? real : path);
}

}  // namespace PortWording
