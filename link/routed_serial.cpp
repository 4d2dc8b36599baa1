#include "routed_serial.h"

RoutedSerial::RoutedSerial(std::unique_ptr<SerialComponent> port, ServerHolding serverHolding, Connect connect,
                           QObject* parent)
    : SerialComponent(parent), port_(std::move(port)), serverHolding_(std::move(serverHolding)),
      connect_(std::move(connect)), served_(nullptr), receiving_(port_.get())
{
    for (SerialComponent* source : {port_.get(), static_cast<SerialComponent*>(&served_)})
        QObject::connect(source, &SerialComponent::OnComm, this, [this, source] {
            receiving_ = source;
            emit OnComm();
        });
    QObject::connect(&served_, &ServedSerial::lost, this, [this] { emit routeChanged({}); });
}

RoutedSerial::~RoutedSerial() = default;

void RoutedSerial::setPortOpen(bool open)
{
    if (!open) {
        const bool wasServed = served_.PortOpen();
        served_.setPortOpen(false);
        port_->setPortOpen(false);
        if (wasServed)
            emit routeChanged({});
        return;
    }
    // An open port, the server's or its own, refuses a second opening.
    if (PortOpen())
        return active().setPortOpen(true);
    try {
        port_->setPortOpen(true);
    } catch (const OperationError& failure) {
        if (failure.number() != SerialError::DeviceBusy)
            throw;
        openThroughServer(failure);
    }
}

void RoutedSerial::openThroughServer(const OperationError& failure)
{
    const std::optional<ServeRendezvous::Server> server = serverHolding_ ? serverHolding_(failure) : std::nullopt;
    if (!server || !connect_)
        throw failure;
    served_.setConnector([connect = connect_, server = *server] { return connect(server); }, server->describe());
    served_.setCommPort(port_->CommPort());
    served_.setPortOpen(true);
    emit routeChanged(served_.serverDescription());
}

QString RoutedSerial::describePort(std::int16_t port) const
{
    const QString device = port_->describePort(port);
    if (served_.PortOpen() && port == served_.CommPort())
        return QStringLiteral("%1, through %2").arg(device, served_.serverDescription());
    return device;
}
