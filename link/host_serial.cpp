#include "host_serial.h"

#include "operation_error.h"

#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// A line busy for most of this window (a 9600 baud line carries at most 38
// bytes in it) is flooded, and is then read once per window. The controller's
// own replies, four bytes at a time, never come that thick.
constexpr int BurstWindowMs = 40;
constexpr int BurstBytes = 32;

QString portName(std::int16_t port) { return QStringLiteral("COM%1").arg(port); }

OperationError serialError(int number, const QString& description)
{
    return OperationError(number, ErrorSource::Serial, description);
}

bool mayReadWrite(const QString& path)
{
#ifdef Q_OS_UNIX
    return ::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0;
#else
    Q_UNUSED(path);
    return true;
#endif
}

}  // namespace

HostSerial::HostSerial(QObject* parent) : SerialComponent(parent)
{
    connect(&port_, &QSerialPort::readyRead, this, &HostSerial::onReadyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, &HostSerial::onError);
    holdTimer_.setSingleShot(true);
    holdTimer_.setInterval(BurstWindowMs);
    connect(&holdTimer_, &QTimer::timeout, this, &HostSerial::endHold);
    burstWindow_.start();
}

HostSerial::~HostSerial() { close(); }

QString HostSerial::devicePath(std::int16_t port)
{
    const QString name = portName(port);
    const QByteArray fromEnv = qgetenv(("TAVRIN_" + name).toLatin1().constData());
    if (!fromEnv.isEmpty())
        return QString::fromLocal8Bit(fromEnv);
    const QString fromSettings = QSettings().value(QStringLiteral("Ports/") + name).toString();
    if (!fromSettings.isEmpty())
        return fromSettings;
#ifdef Q_OS_WIN
    return name;
#else
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

QString HostSerial::describePort(std::int16_t port) const
{
    return QStringLiteral("%1 (%2)").arg(portName(port), devicePath(port));
}

void HostSerial::setCommPort(std::int16_t port)
{
    if (port < 1)
        throw serialError(SerialError::BadPortNumber, QStringLiteral("invalid port number %1").arg(port));
    commPort_ = port;
}

HostSerial::LineSettings HostSerial::parseSettings(const QString& settings)
{
    const auto bad = [&settings] {
        return serialError(SerialError::BadSettings, QStringLiteral("invalid line settings \"%1\"").arg(settings));
    };
    const QStringList parts = settings.split(QLatin1Char(','));
    if (parts.size() != 4)
        throw bad();
    LineSettings line;
    bool ok = false;
    line.baud = parts[0].trimmed().toInt(&ok);
    if (!ok || line.baud <= 0)
        throw bad();
    const QString parity = parts[1].trimmed().toLower();
    if (parity == u"n")
        line.parity = QSerialPort::NoParity;
    else if (parity == u"e")
        line.parity = QSerialPort::EvenParity;
    else if (parity == u"o")
        line.parity = QSerialPort::OddParity;
    else if (parity == u"m")
        line.parity = QSerialPort::MarkParity;
    else if (parity == u"s")
        line.parity = QSerialPort::SpaceParity;
    else
        throw bad();
    const int data = parts[2].trimmed().toInt(&ok);
    if (!ok || data < 5 || data > 8)
        throw bad();
    line.dataBits = static_cast<QSerialPort::DataBits>(data);
    const QString stop = parts[3].trimmed();
    if (stop == u"1")
        line.stopBits = QSerialPort::OneStop;
    else if (stop == u"1.5")
        line.stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == u"2")
        line.stopBits = QSerialPort::TwoStop;
    else
        throw bad();
    return line;
}

void HostSerial::setSettings(const QString& settings)
{
    line_ = parseSettings(settings);
    if (port_.isOpen())
        applyLineSettings();
}

void HostSerial::applyLineSettings()
{
    const bool ok = port_.setBaudRate(line_.baud) && port_.setParity(line_.parity) &&
                    port_.setDataBits(line_.dataBits) && port_.setStopBits(line_.stopBits) &&
                    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!ok && port_.isOpen())
        throw serialError(SerialError::BadSettings,
                          QStringLiteral("%1 does not accept the line settings").arg(describePort(commPort_)));
}

void HostSerial::setPortOpen(bool open)
{
    if (open)
        this->open();
    else
        close();
}

void HostSerial::open()
{
    // A serial control refuses to open a second time: silently keeping the
    // open port would leave the caller believing another one is open.
    if (port_.isOpen())
        throw serialError(SerialError::PortAlreadyOpen,
                          QStringLiteral("port already open: %1 is open, close it first").arg(openPortName_));
    const QString path = devicePath(commPort_);
    port_.setPortName(path);
    applyLineSettings();
    if (!port_.open(QIODevice::ReadWrite))
        throwOpenFailure(path, port_.error());
    openPortName_ = describePort(commPort_);
    try {
        applyLineSettings();
    } catch (...) {
        close();
        throw;
    }
}

void HostSerial::throwOpenFailure(const QString& path, QSerialPort::SerialPortError error)
{
    const QString what = describePort(commPort_);
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        throw serialError(SerialError::DeviceMissing,
                          QStringLiteral("%1 cannot be opened: the device does not exist").arg(what));
    case QSerialPort::PermissionError:
        if (QFileInfo::exists(path) && !mayReadWrite(path))
            throw serialError(SerialError::PermissionDenied,
                              QStringLiteral("%1 cannot be opened: permission denied (is the user in the "
                                             "dialout group?)")
                                  .arg(what));
        throw serialError(SerialError::DeviceBusy,
                          QStringLiteral("%1 cannot be opened: the device is in use by another program").arg(what));
    case QSerialPort::UnsupportedOperationError:
        throw serialError(SerialError::OpenFailed,
                          QStringLiteral("%1 cannot be opened: it is not a serial device").arg(what));
    default:
        throw serialError(SerialError::OpenFailed,
                          QStringLiteral("%1 cannot be opened: %2").arg(what, port_.errorString()));
    }
}

void HostSerial::close()
{
    holdTimer_.stop();
    holding_ = false;
    port_.setReadBufferSize(0);
    if (port_.isOpen())
        port_.close();
    // Bytes not yet handed to the panel belong to the closed session.
    pending_.clear();
    pendingHead_ = 0;
    current_.clear();
}

void HostSerial::Output(const QByteArray& bytes)
{
    if (!port_.isOpen())
        throw serialError(SerialError::PortNotOpen, QStringLiteral("%1 is not open").arg(describePort(commPort_)));
    const bool written = port_.write(bytes) == bytes.size();
    // Push the bytes to the device now rather than on the next event-loop pass.
    if (written)
        port_.flush();
    if (!written || !port_.isOpen()) {
        close();
        throw serialError(SerialError::WriteFailed,
                          QStringLiteral("writing to %1 failed: the device is gone").arg(describePort(commPort_)));
    }
}

QByteArray HostSerial::Input()
{
    QByteArray bytes;
    bytes.swap(current_);
    return bytes;
}

void HostSerial::onReadyRead()
{
    if (holding_)
        return;
    const QByteArray bytes = port_.readAll();
    pending_.append(bytes);
    if (pendingHead_ < pending_.size())
        postDelivery();
    if (burstWindow_.elapsed() > BurstWindowMs) {
        burstWindow_.restart();
        burstBytes_ = 0;
    }
    burstBytes_ += int(bytes.size());
    if (burstBytes_ >= BurstBytes)
        startHold();
}

void HostSerial::startHold()
{
    // With a one-byte read buffer QSerialPort stops watching the device once
    // a byte waits in it; the rest gather in the device until the hold ends.
    holding_ = true;
    port_.setReadBufferSize(1);
    holdTimer_.start();
}

void HostSerial::endHold()
{
    holding_ = false;
    burstBytes_ = 0;
    burstWindow_.restart();
    // Unlimited again: the bytes gathered meanwhile come in the next read.
    port_.setReadBufferSize(0);
    if (port_.isOpen())
        onReadyRead();
}

void HostSerial::postDelivery()
{
    if (deliveryPosted_)
        return;
    deliveryPosted_ = true;
    QMetaObject::invokeMethod(this, &HostSerial::deliverOne, Qt::QueuedConnection);
}

void HostSerial::deliverOne()
{
    deliveryPosted_ = false;
    if (pendingHead_ >= pending_.size())
        return;
    // A byte the handler did not take is kept ahead of the next one.
    current_.append(pending_.at(pendingHead_++));
    if (pendingHead_ == pending_.size()) {
        pending_.clear();
        pendingHead_ = 0;
    } else {
        // The next byte gets its own event, also while this handler waits in a nested loop.
        postDelivery();
    }
    commEvent_ = ComEvReceive;
    emit OnComm();
}

void HostSerial::onError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::ReadError:
    case QSerialPort::ResourceError:
    case QSerialPort::WriteError:
        // The device is gone (an unplugged adapter, a closed pty): Qt would
        // report the error again and again while the port stays open.
        close();
        break;
    default:
        break;
    }
}
