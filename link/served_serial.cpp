#include "served_serial.h"

#include "commands.h"
#include "reply_format.h"

#include <QJsonArray>
#include <QMetaObject>

namespace {

// Replies made while the panel is busy elsewhere (a box open in its handler)
// wait for it; past this many bytes the oldest state is not worth keeping.
constexpr qsizetype MaxPendingBytes = 4096;

// The outlet a channel command switches ("s0" + '0' + channel + "p": outlet
// channel + 1), or nothing for any other command.
std::optional<int> outletOfChannelCommand(const QByteArray& bytes)
{
    for (int channel = 0; channel < Command::ChannelCount; ++channel)
        if (bytes == Command::channel(channel))
            return channel + 1;
    return std::nullopt;
}

}  // namespace

ServedSerial::ServedSerial(Connector connector, QString server, QObject* parent)
    : SerialComponent(parent), connector_(std::move(connector)), server_(std::move(server))
{}

ServedSerial::~ServedSerial() { close(); }

void ServedSerial::setConnector(Connector connector, QString server)
{
    connector_ = std::move(connector);
    server_ = std::move(server);
}

void ServedSerial::setCommPort(std::int16_t port)
{
    if (port < 1)
        throw serialError(SerialError::BadPortNumber, QStringLiteral("invalid port number %1").arg(port));
    commPort_ = port;
}

void ServedSerial::setPortOpen(bool open)
{
    if (open)
        this->open();
    else
        close();
}

void ServedSerial::open()
{
    if (client_)
        throw serialError(SerialError::PortAlreadyOpen,
                          QStringLiteral("port already open: %1 is open, close it first").arg(client_->describe()));
    std::unique_ptr<BoardServer> client = connector_ ? connector_() : nullptr;
    if (!client)
        throw serialError(SerialError::OpenFailed, QStringLiteral("no server to reach: %1").arg(server_));
    word_.reset();
    answering_ = true;
    connect(client.get(), &BoardServer::state, this, &ServedSerial::onState);
    connect(client.get(), &BoardServer::link, this, &ServedSerial::onLink);
    connect(client.get(), &BoardServer::lost, this, &ServedSerial::onLost);
    client_.reset(client.release());
    client_->start();
}

void ServedSerial::close()
{
    if (client_) {
        client_->disconnect(this);
        client_->stop();
        client_.reset();
    }
    // Replies not yet handed to the panel belong to the closed session.
    bytes_.clear();
}

void ServedSerial::Output(const QByteArray& bytes)
{
    if (!client_)
        throw serialError(SerialError::PortNotOpen, QStringLiteral("%1 is not open").arg(describePort(commPort_)));
    if (bytes == Command::StatusQuery) {
        if (answering_ && word_)
            deliverStatusReply();
    } else if (const std::optional<int> outlet = outletOfChannelCommand(bytes)) {
        client_->post(QStringLiteral("/api/toggle"), {{QStringLiteral("outlets"), QJsonArray{*outlet}}});
    } else if (bytes == Command::AllOn) {
        client_->post(QStringLiteral("/api/all-on"), {});
    } else if (bytes == Command::AllOff) {
        client_->post(QStringLiteral("/api/all-off"), {});
    } else if (bytes == Command::Reset) {
        client_->post(QStringLiteral("/api/reset"), {});
    } else if (bytes == Command::Upgrade) {
        throw serialError(SerialError::DeviceBusy,
                          QStringLiteral("the firmware upgrade cannot go through %1: the firmware tool needs the port "
                                         "itself; stop that server, and try again")
                              .arg(client_->describe()));
    }
    // Anything else is nothing the board would obey.
}

QByteArray ServedSerial::Input() { return bytes_.take(); }

QString ServedSerial::describePort(std::int16_t port) const
{
    return QStringLiteral("COM%1: %2").arg(port).arg(client_ ? client_->describe() : server_);
}

QString ServedSerial::serverDescription() const { return client_ ? client_->describe() : server_; }

void ServedSerial::onState(const QJsonObject& status)
{
    answering_ = status.value(QStringLiteral("answering")).toBool(true);
    const QJsonValue word = status.value(QStringLiteral("word"));
    if (!word.isDouble())
        return;
    const auto read = static_cast<std::uint16_t>(word.toInt());
    const bool changed = word_ != read;
    word_ = read;
    if (changed && answering_)
        deliverStatusReply();
}

void ServedSerial::onLink(const QJsonObject& link)
{
    const QJsonValue answering = link.value(QStringLiteral("answering"));
    if (answering.isBool())
        answering_ = answering.toBool();
}

void ServedSerial::onLost(const QString& why)
{
    // As an unplugged adapter: the port closes under the panel, whose next
    // tick or command finds it closed.
    close();
    emit lost(why);
}

void ServedSerial::deliverStatusReply()
{
    if (bytes_.waiting() + ReplyFormat::Size > MaxPendingBytes)
        return;
    QByteArray reply;
    reply.append('\0');
    reply.append(static_cast<char>(*word_ & 0xFF));
    reply.append(static_cast<char>(*word_ >> 8));
    reply.append(static_cast<char>(ReplyFormat::StatusMark));
    bytes_.add(reply);
}

void ServedSerial::received()
{
    commEvent_ = ComEvReceive;
    emit OnComm();
}
