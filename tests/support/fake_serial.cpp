#include "fake_serial.h"

#include "operation_error.h"

namespace {
QString name(int port) { return QStringLiteral("COM%1 (fake)").arg(port); }
}  // namespace

void FakeSerial::setCommPort(std::int16_t port)
{
    log << QStringLiteral("CommPort=%1").arg(port);
    if (port < 1)
        throw OperationError(SerialError::BadPortNumber, "MSComm1: ", "invalid port number");
    port_ = port;
}

bool FakeSerial::PortOpen() const
{
    ++portOpenReads;
    return open_;
}

void FakeSerial::setPortOpen(bool open)
{
    log << (open ? "Open" : "Close");
    if (!open) {
        open_ = false;
        return;
    }
    if (open_)
        throw OperationError(SerialError::PortAlreadyOpen,
                             "MSComm1: ", "port already open: " + name(openPort_) + " is open, close it first");
    if (failingPorts.contains(port_)) {
        const int number = failingPorts.value(port_);
        const QString reason = number == SerialError::DeviceMissing ? "the device does not exist"
                               : number == SerialError::DeviceBusy  ? "the device is in use by another program"
                                                                    : "permission denied";
        throw OperationError(number, "MSComm1: ", name(port_) + " cannot be opened: " + reason);
    }
    open_ = true;
    openPort_ = port_;
}

void FakeSerial::Output(const QByteArray& bytes)
{
    log << "Output=" + QString::fromLatin1(bytes);
    if (!open_)
        throw OperationError(SerialError::PortNotOpen, "MSComm1: ", "port is not open");
    if (writeVanishes) {
        writeVanishes = false;
        open_ = false;
        throw OperationError(SerialError::WriteFailed,
                             "MSComm1: ", "writing to " + name(port_) + " failed: the device is gone");
    }
    if (writeFails)
        throw OperationError(SerialError::WriteFailed, "MSComm1: ", "writing to " + name(port_) + " failed");
    written += bytes;
}

QByteArray FakeSerial::Input()
{
    QByteArray bytes;
    bytes.swap(input_);
    return bytes;
}

void FakeSerial::deliverRead(const QByteArray& bytes)
{
    event_ = ComEvReceive;
    input_ = bytes;
    emit OnComm();
}

void FakeSerial::deliverEach(const QByteArray& bytes)
{
    for (char byte : bytes)
        deliverRead(QByteArray(1, byte));
}

void FakeSerial::deliverOther(std::int16_t event)
{
    event_ = event;
    emit OnComm();
}
