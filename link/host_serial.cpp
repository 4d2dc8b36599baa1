#include "host_serial.h"

#include "host_device_listing.h"
#include "open_failure.h"
#include "operation_error.h"
#include "port_wording.h"

#include <QSettings>
#include <QStringList>
#include <QtGlobal>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// A line busy for most of this window (a 9600 baud line carries at most 38
// bytes in it) is flooded, and is then read once per window. The controller's
// own replies, four bytes at a time, never come that thick.
constexpr int BurstWindowMs = 40;
constexpr int BurstBytes = 32;

}  // namespace

HostSerial::HostSerial(QObject* parent) : HostSerial(openPanelSettings(), std::make_unique<HostDeviceListing>(), parent)
{}

HostSerial::HostSerial(std::unique_ptr<QSettings> settings, std::unique_ptr<DeviceListing> listing, QObject* parent)
    : SerialComponent(parent), settings_(std::move(settings)), listing_(std::move(listing)), map_(*settings_, *listing_)
{
    connect(&port_, &QSerialPort::readyRead, this, &HostSerial::onReadyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, &HostSerial::onError);
    holdTimer_.setSingleShot(true);
    holdTimer_.setInterval(BurstWindowMs);
    connect(&holdTimer_, &QTimer::timeout, this, &HostSerial::endHold);
    burstWindow_.start();
}

HostSerial::~HostSerial() { close(); }

QString HostSerial::describePort(std::int16_t port) const { return PortWording::describePort(map_, port); }

void HostSerial::refreshPorts()
{
    map_.recordNewDevices();
#ifdef __GLIBC__
    // The listing reads every tty of the system through udev: the panel runs
    // for days, so it gives back the memory the listing freed.
    ::malloc_trim(0);
#endif
    if (std::optional<OperationError> failure = map_.takeStoreError())
        throw *failure;
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
                          QStringLiteral("%1 does not accept the line settings").arg(openPortLabel_));
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
    lastOpenFailure_.reset();
    // A serial control refuses to open a second time: silently keeping the
    // open port would leave the caller believing another one is open.
    if (port_.isOpen())
        throw serialError(SerialError::PortAlreadyOpen,
                          QStringLiteral("port already open: %1 is open, close it first").arg(openPortLabel_));
    const QString path = map_.pathRecordingNewDevices(commPort_);
    // One device, one lock file, whatever name the device is opened by.
    const QString device = PortMap::realDevice(path);
    port_.setPortName(device);
    applyLineSettings();
    if (!port_.open(QIODevice::ReadWrite)) {
        lastOpenFailure_ = classifyOpenFailure({commPort_, path, device, port_.error(), port_.errorString()}, map_);
        throw openFailureError(*lastOpenFailure_);
    }
    openPortLabel_ = PortWording::portLabel(commPort_, path, device);
    try {
        applyLineSettings();
    } catch (...) {
        close();
        throw;
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
    bytes_.clear();
}

void HostSerial::Output(const QByteArray& bytes)
{
    if (!port_.isOpen())
        throw serialError(
            SerialError::PortNotOpen,
            QStringLiteral("%1 is not open").arg(PortWording::portLabel(commPort_, map_.mapping(commPort_).path)));
    const bool written = port_.write(bytes) == bytes.size();
    // Push the bytes to the device now rather than on the next event-loop pass.
    if (written)
        port_.flush();
    if (!written || !port_.isOpen()) {
        close();
        throw serialError(SerialError::WriteFailed,
                          QStringLiteral("writing to %1 failed: the device is gone").arg(openPortLabel_));
    }
}

QByteArray HostSerial::Input() { return bytes_.take(); }

void HostSerial::onReadyRead()
{
    if (holding_)
        return;
    const QByteArray bytes = port_.readAll();
    bytes_.add(bytes);
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

void HostSerial::received()
{
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
