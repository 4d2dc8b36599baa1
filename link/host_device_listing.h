#pragma once

#include "device_listing.h"

// The serial devices of this host: QSerialPortInfo lists them, and the links
// in /dev/serial/by-id and /dev/serial/by-path name them. Two devices that
// udev would give the same by-id name (identical adapters without a serial
// number: udev points the one link at either) both carry that name, so that
// the port map sees the collision.
class HostDeviceListing final : public DeviceListing {
public:
    QList<ListedDevice> presentDevices() const override;
};
