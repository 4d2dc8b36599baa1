#pragma once

#include "serial_component.h"
#include "serve_rendezvous.h"
#include "served_serial.h"

#include <functional>
#include <memory>
#include <optional>

// The panel's serial component: its own port, or, when orvessa serve on this
// machine holds that port's device, the server (ServedSerial). The port is
// tried first, as always; only a busy device whose holder is a running server
// makes the opening go through that server instead. The window cannot tell
// the two apart, but for what the server cannot do (a firmware upgrade).
class RoutedSerial final : public SerialComponent {
    Q_OBJECT
public:
    // The running server that holds the device a failed opening found busy, if any.
    using ServerHolding = std::function<std::optional<ServeRendezvous::Server>(const OperationError& failure)>;
    // A client of that server for one session.
    using Connect = std::function<std::unique_ptr<BoardServer>(const ServeRendezvous::Server& server)>;

    RoutedSerial(std::unique_ptr<SerialComponent> port, ServerHolding serverHolding, Connect connect,
                 QObject* parent = nullptr);
    ~RoutedSerial() override;

    void setCommPort(std::int16_t port) override { port_->setCommPort(port); }
    std::int16_t CommPort() const override { return port_->CommPort(); }
    void setSettings(const QString& settings) override { port_->setSettings(settings); }
    void setInputMode(std::int32_t mode) override { port_->setInputMode(mode); }
    void setRThreshold(std::int16_t threshold) override { port_->setRThreshold(threshold); }
    bool PortOpen() const override { return served_.PortOpen() || port_->PortOpen(); }
    void setPortOpen(bool open) override;
    void Output(const QByteArray& bytes) override { active().Output(bytes); }
    std::int16_t CommEvent() const override { return receiving_->CommEvent(); }
    QByteArray Input() override { return receiving_->Input(); }
    // The port's device, and the server it is reached through while it is.
    QString describePort(std::int16_t port) const override;
    void refreshPorts() override { port_->refreshPorts(); }
    // The server the open port is reached through; empty: none.
    QString server() const { return served_.PortOpen() ? served_.serverDescription() : QString(); }

signals:
    // The server the port is now reached through ("orvessa serve (process
    // 4242) at http://127.0.0.1:8321/"), or empty: the port itself, or none.
    void routeChanged(const QString& server);

private:
    SerialComponent& active() { return served_.PortOpen() ? static_cast<SerialComponent&>(served_) : *port_; }
    void openThroughServer(const OperationError& failure);

    std::unique_ptr<SerialComponent> port_;
    ServerHolding serverHolding_;
    Connect connect_;
    ServedSerial served_;
    // The component whose OnComm is being delivered.
    SerialComponent* receiving_;
};
