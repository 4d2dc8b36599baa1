#pragma once

#include "device_listing.h"

// A listing of devices a test makes up, and how often it was asked.
class FakeDeviceListing final : public DeviceListing {
public:
    QList<ListedDevice> devices;
    mutable int listings = 0;

    QList<ListedDevice> presentDevices() const override
    {
        ++listings;
        return devices;
    }
};

// A USB adapter as udev names it: by-id from its maker, model and serial
// number, by-path from the socket it is plugged into.
inline ListedDevice usbAdapter(const QString& location, const QString& model, const QString& serial,
                               const QString& socket)
{
    const QString interfaceName = QString(model).replace(' ', '_');
    const QString id = serial.isEmpty() ? QStringLiteral("usb-FTDI_%1-if00-port0").arg(interfaceName)
                                        : QStringLiteral("usb-FTDI_%1_%2-if00-port0").arg(interfaceName, serial);
    return {location, model, serial, "/dev/serial/by-id/" + id,
            QStringLiteral("/dev/serial/by-path/pci-0000:00:14.0-usb-0:%1:1.0-port0").arg(socket)};
}

// An on-board port: the system lists it, udev gives it no /dev/serial link.
inline ListedDevice onBoardPort(int index) { return {QStringLiteral("/dev/ttyS%1").arg(index), {}, {}, {}, {}}; }
