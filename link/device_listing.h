#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

// A serial device present on the host, as the system lists it, with the names
// udev gives it that stay with it when it is plugged in again.
struct SerialDevice {
    QString systemLocation;  // "/dev/ttyUSB0"
    QString description;     // "FT232R USB UART"; empty when the system gives none
    QString serialNumber;    // "A10K3"; empty when the device has none
    QString byId;            // "/dev/serial/by-id/usb-FTDI_..."; empty when udev gives none
    QString byPath;          // "/dev/serial/by-path/pci-...-usb-0:1:1.0-port0"; empty when udev gives none

    friend bool operator==(const SerialDevice&, const SerialDevice&) = default;
};
Q_DECLARE_METATYPE(SerialDevice)

// The serial devices present. The host lists them through QSerialPortInfo and
// udev's /dev/serial links; tests list what they like.
class DeviceListing {
public:
    virtual ~DeviceListing() = default;
    virtual QList<SerialDevice> presentDevices() const = 0;
};
