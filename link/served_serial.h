#pragma once

#include "board_server.h"
#include "byte_events.h"
#include "serial_component.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// The serial component over orvessa serve instead of a port: opening the
// "port" connects to the server, the panel's commands become the server's
// requests, and the board's status reply is made from the state the server
// pushes, delivered byte by byte through OnComm as a port delivers it. So the
// panel's handlers, its watchdog and its reply assembler run unchanged:
//   a channel command  POST /api/toggle {"outlets": [channel + 1]}
//   all on, all off    POST /api/all-on, /api/all-off
//   reset              POST /api/reset
//   the status query   the status reply of the last state's word; none while
//                      the server says the board does not answer
//   upgrade            refused: the firmware tool needs the port itself
// A state with a new word delivers its status reply at once, so the lamps
// follow the server's reads without the panel asking. A lost connection
// closes the port, as an unplugged adapter does.
class ServedSerial final : public SerialComponent {
    Q_OBJECT
public:
    // Makes the client of one session; called at each opening.
    using Connector = std::function<std::unique_ptr<BoardServer>()>;

    // `server` names the server in the port list: "orvessa serve at http://host:8321/".
    explicit ServedSerial(Connector connector, QString server = {}, QObject* parent = nullptr);
    ~ServedSerial() override;

    // The server the next opening reaches.
    void setConnector(Connector connector, QString server);

    void setCommPort(std::int16_t port) override;
    std::int16_t CommPort() const override { return commPort_; }
    // Line settings belong to the server's port.
    void setSettings(const QString&) override {}
    void setInputMode(std::int32_t) override {}
    void setRThreshold(std::int16_t) override {}
    bool PortOpen() const override { return client_ != nullptr; }
    void setPortOpen(bool open) override;
    void Output(const QByteArray& bytes) override;
    std::int16_t CommEvent() const override { return commEvent_; }
    QByteArray Input() override;
    // "COM2: orvessa serve at http://host:8321/"
    QString describePort(std::int16_t port) const override;
    void refreshPorts() override {}

    // The server of the open session, or the one the next opening reaches.
    QString serverDescription() const;

signals:
    // The connection to the server was lost; the port is closed.
    void lost(const QString& why);

private:
    struct Later {
        void operator()(QObject* object) const { object->deleteLater(); }
    };

    void open();
    void close();
    void onState(const QJsonObject& status);
    void onLink(const QJsonObject& link);
    void onLost(const QString& why);
    void deliverStatusReply();
    void received();

    Connector connector_;
    QString server_;
    // Deleted from the event loop: a session may end inside its own signal.
    std::unique_ptr<BoardServer, Later> client_;
    std::int16_t commPort_ = 1;
    std::optional<std::uint16_t> word_;  // of the last state that carried one
    bool answering_ = true;
    std::int16_t commEvent_ = 0;
    ByteEvents bytes_{[this] { received(); }};  // made replies
};
