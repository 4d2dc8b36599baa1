#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

// An entry of the listing of serial devices present on the host, with the
// names udev gives the device that stay with it when it is plugged in again.
struct ListedDevice {
    QString systemLocation;  // "/dev/ttyUSB0"
    QString description;     // "FT232R USB UART"; empty when the system gives none
    QString serialNumber;    // "A10K3"; empty when the device has none
    QString byId;            // "/dev/serial/by-id/usb-FTDI_..."; empty when udev gives none
    QString byPath;          // "/dev/serial/by-path/pci-...-usb-0:1:1.0-port0"; empty when udev gives none

    friend bool operator==(const ListedDevice&, const ListedDevice&) = default;
};
Q_DECLARE_METATYPE(ListedDevice)

// The serial devices present. The host lists them through QSerialPortInfo and
// udev's /dev/serial links; tests list what they like.
class DeviceListing {
public:
    virtual ~DeviceListing() = default;
    virtual QList<ListedDevice> presentDevices() const = 0;
};
