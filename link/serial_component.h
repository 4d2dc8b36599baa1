#pragma once

#include "operation_error.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>

// The serial port component as the panel uses it. Every operation that fails
// throws OperationError; after a failed open PortOpen() reads false.
class SerialComponent : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialComponent() override = default;

    // CommEvent() value of a receive event: received bytes wait.
    static constexpr std::int16_t ComEvReceive = 2;

    // Port number (1 is COM1) used by the next opening; setting the number of
    // the open port changes nothing.
    virtual void setCommPort(std::int16_t port) = 0;
    virtual std::int16_t CommPort() const = 0;
    // Line settings such as "9600,n,8,1".
    virtual void setSettings(const QString& settings) = 0;
    // 1: Input() yields raw bytes.
    virtual void setInputMode(std::int32_t mode) = 0;
    // 1: OnComm is raised as soon as one received byte waits.
    virtual void setRThreshold(std::int16_t threshold) = 0;

    // True exactly while the port is open.
    virtual bool PortOpen() const = 0;
    // True opens the port at CommPort(), and fails with PortAlreadyOpen while a
    // port is open; false closes it (a closed port stays closed).
    virtual void setPortOpen(bool open) = 0;

    // Writes each byte in order, nothing added.
    virtual void Output(const QByteArray& bytes) = 0;

    // The kind of the event being delivered; ComEvReceive means bytes wait.
    virtual std::int16_t CommEvent() const = 0;
    // The bytes received since the last read; they leave the receive buffer.
    virtual QByteArray Input() = 0;

    // Which device stands behind the port number, for the operator:
    // "COM2: FT232R USB UART, serial A10K3 (/dev/ttyUSB0)", "COM3: no device (/dev/ttyS2)".
    virtual QString describePort(std::int16_t port) const = 0;
    // Brings the port numbers up to date with the devices present: a device
    // seen for the first time gets a free number. Never called while a port
    // is being opened.
    virtual void refreshPorts() = 0;

signals:
    // Raised on the GUI thread for every serial event.
    void OnComm();
};

// Error numbers of the serial component.
namespace SerialError {
inline constexpr int DeviceMissing = 8002;
inline constexpr int DeviceBusy = 8005;
// Opening a port that is open: the number a serial control gives for a port
// already open, whoever holds it.
inline constexpr int PortAlreadyOpen = 8005;
inline constexpr int PermissionDenied = 8006;
inline constexpr int OpenFailed = 8010;
inline constexpr int PortNotOpen = 8012;
inline constexpr int BadSettings = 8015;
inline constexpr int WriteFailed = 8018;
inline constexpr int BadPortNumber = 8019;
}  // namespace SerialError

// A failure of the serial component, as its error report names it.
inline OperationError serialError(int number, const QString& description)
{
    return OperationError(number, ErrorSource::Serial, description);
}
