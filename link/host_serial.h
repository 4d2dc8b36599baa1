#pragma once

#include "byte_events.h"
#include "device_listing.h"
#include "open_failure.h"
#include "port_map.h"
#include "serial_component.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

class QSettings;

// The serial component over a device of the host, through QSerialPort.
// The port map (port_map.h) says which device port n is; the device is opened
// by its real name, symbolic links resolved. Every received byte is handed to
// the panel as its own OnComm event, posted to the event loop, so bytes that
// arrive together are queued, never dropped.
class HostSerial final : public SerialComponent {
    Q_OBJECT
public:
    // On the panel's settings store and the devices of this host.
    explicit HostSerial(QObject* parent = nullptr);
    HostSerial(std::unique_ptr<QSettings> settings, std::unique_ptr<DeviceListing> listing, QObject* parent = nullptr);
    ~HostSerial() override;

    void setCommPort(std::int16_t port) override;
    std::int16_t CommPort() const override { return commPort_; }
    void setSettings(const QString& settings) override;
    // Bytes always come raw, one OnComm each: the only mode the panel asks for.
    void setInputMode(std::int32_t) override {}
    void setRThreshold(std::int16_t) override {}
    bool PortOpen() const override { return port_.isOpen(); }
    void setPortOpen(bool open) override;
    void Output(const QByteArray& bytes) override;
    std::int16_t CommEvent() const override { return commEvent_; }
    QByteArray Input() override;
    QString describePort(std::int16_t port) const override;
    // Assigns COM numbers to new devices; fails once if they cannot be stored.
    void refreshPorts() override;
    // Why the last opening failed, as its error report tells it; nothing when
    // it succeeded. A busy device names the orvessa serve that holds it.
    const std::optional<OpenFailure>& lastOpenFailure() const { return lastOpenFailure_; }

private:
    struct LineSettings {
        qint32 baud = 9600;
        QSerialPort::Parity parity = QSerialPort::NoParity;
        QSerialPort::DataBits dataBits = QSerialPort::Data8;
        QSerialPort::StopBits stopBits = QSerialPort::OneStop;
    };
    static LineSettings parseSettings(const QString& settings);
    void applyLineSettings();
    void open();
    void close();
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    void startHold();
    void endHold();
    void received();

    std::unique_ptr<QSettings> settings_;
    std::unique_ptr<DeviceListing> listing_;
    PortMap map_;
    QSerialPort port_;
    std::int16_t commPort_ = 1;
    QString openPortLabel_;  // "COM1 (/dev/ttyS0)" of the port that is open
    LineSettings line_;
    std::optional<OpenFailure> lastOpenFailure_;
    std::int16_t commEvent_ = 0;
    ByteEvents bytes_{[this] { received(); }};
    // A line full of bytes (noise) is read in gulps: while holding, the bytes
    // wait in the device instead of waking the panel one by one.
    QTimer holdTimer_;
    QElapsedTimer burstWindow_;
    int burstBytes_ = 0;
    bool holding_ = false;
};
