#include "serial_board_link.h"

#include <cerrno>
#include <cstring>

#include <termios.h>

namespace {
// Four bytes take about 4 ms at 9600 baud: this only catches a stuck device.
constexpr int WriteTimeoutMs = 2000;
}  // namespace

void SerialBoardLink::discardInput()
{
    port_.clear(QSerialPort::Input);
    port_.readAll();
}

bool SerialBoardLink::write(const QByteArray& bytes)
{
    if (port_.write(bytes) != bytes.size())
        return false;
    const QDeadlineTimer deadline(WriteTimeoutMs);
    while (port_.bytesToWrite() > 0)
        if (!port_.waitForBytesWritten(int(deadline.remainingTime())))
            return false;
    // Wait until the bytes are on the wire: the port is then never closed, nor
    // its line settings restored, with part of a command still in the device.
    if (::tcdrain(port_.handle()) == 0)
        return true;
    // The device went away while the bytes drained (an unplugged adapter).
    gone_ = errno == EIO || errno == ENXIO || errno == ENODEV;
    drainFailure_ = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

bool SerialBoardLink::broken() const
{
    return gone_ || !port_.isOpen() || port_.error() == QSerialPort::ResourceError ||
           port_.error() == QSerialPort::ReadError;
}

QString SerialBoardLink::failure() const
{
    // Once the device is gone, QSerialPort's text is a stale errno message.
    if (broken())
        return QStringLiteral("the device is gone");
    return drainFailure_.isEmpty() ? port_.errorString() : drainFailure_;
}

QByteArray SerialBoardLink::read(QDeadlineTimer deadline)
{
    if (port_.bytesAvailable() == 0 && !port_.waitForReadyRead(int(deadline.remainingTime())))
        return {};
    return port_.readAll();
}
