#pragma once

#include "device_listing.h"

#include <QString>

#include <cstdint>

class PortMap;

// How ports and devices are named to people, in one place for the panel and
// the command line.
namespace PortWording {

// "COM2 (/dev/ttyUSB0)", or "COM2 (/dev/serial/by-id/usb-… → /dev/ttyUSB0)"
// for a mapped path that is a link to the real device.
QString portLabel(std::int16_t port, const QString& mappedPath, const QString& realDevice);
// The same, the real device found from the mapped path.
QString portLabel(std::int16_t port, const QString& mappedPath);

// "FT232R USB UART, serial A10K3 (/dev/ttyUSB0)".
QString deviceText(const ListedDevice& device);

// "COM2: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)" or
// "COM3: no device (/dev/ttyS2)", from the map's last listing.
QString describePort(const PortMap& map, std::int16_t port);

}  // namespace PortWording
