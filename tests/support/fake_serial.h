#pragma once

#include "serial_component.h"

#include <QMap>
#include <QStringList>

#include <functional>

// A serial component for window tests: records every operation and every
// byte written, and lets a test deliver bytes and events or make the device fail.
class FakeSerial final : public SerialComponent {
    Q_OBJECT
public:
    // Operations in call order: "CommPort=3", "Settings=9600,n,8,1", "InputMode=1",
    // "RThreshold=1", "Open", "Close", "Output=s00t".
    QStringList log;
    QByteArray written;
    // Opening these ports fails with the given error number (missing, busy, denied).
    QMap<int, int> failingPorts;
    bool writeVanishes = false;  // the next write fails and the port closes
    bool writeFails = false;     // every write fails and the port stays open
    mutable int portOpenReads = 0;

    void setCommPort(std::int16_t port) override;
    std::int16_t CommPort() const override { return port_; }
    void setSettings(const QString& settings) override { log << "Settings=" + settings; }
    void setInputMode(std::int32_t mode) override { log << QStringLiteral("InputMode=%1").arg(mode); }
    void setRThreshold(std::int16_t t) override { log << QStringLiteral("RThreshold=%1").arg(t); }
    bool PortOpen() const override;
    void setPortOpen(bool open) override;
    void Output(const QByteArray& bytes) override;
    std::int16_t CommEvent() const override { return event_; }
    QByteArray Input() override;
    // What describePort() says for a port; "COM<n> (fake)" for one not given.
    QMap<int, QString> descriptions;
    int refreshes = 0;
    std::function<void()> onRefresh;  // runs inside every refreshPorts()
    QString describePort(std::int16_t port) const override
    {
        return descriptions.value(port, QStringLiteral("COM%1 (fake)").arg(port));
    }
    void refreshPorts() override
    {
        ++refreshes;
        if (onRefresh)
            onRefresh();
    }

    int openPort() const { return open_ ? openPort_ : 0; }
    // The device goes away on its own: the port closes without the panel.
    void vanish() { open_ = false; }

    // One receive event whose read returns all of `bytes` at once.
    void deliverRead(const QByteArray& bytes);
    // One receive event per byte.
    void deliverEach(const QByteArray& bytes);
    // A serial event that is not a receive event.
    void deliverOther(std::int16_t event = 1001);

private:
    std::int16_t port_ = 1;
    int openPort_ = 0;
    bool open_ = false;
    std::int16_t event_ = 0;
    QByteArray input_;
};
