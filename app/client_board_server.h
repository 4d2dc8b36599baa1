#pragma once

#include "board_server.h"
#include "served_board_client.h"

#include <QPointer>

#include <functional>

// The panel's board server over orvessa's asynchronous client: its events
// passed on as they come, switching requests sent without waiting. Before
// subscribing, the state is asked once, so that a server that wants a token
// the panel does not have is told apart from one that cannot be reached; the
// token is then asked for (`askToken`), once per session of the panel.
class ClientBoardServer final : public BoardServer {
    Q_OBJECT
public:
    // The token to send after a 401; empty: none to give.
    using AskToken = std::function<QString()>;

    ClientBoardServer(ServedBoardClient::Address address, AskToken askToken, QObject* parent = nullptr);
    ~ClientBoardServer() override;

    void start() override;
    void stop() override;
    void post(const QString& path, const QJsonObject& body) override;
    QString describe() const override;

private:
    void makeClient();
    void askState(bool mayAskToken);
    void onStateAnswer(const ServedBoardClient::Answer& answer, bool mayAskToken);

    ServedBoardClient::Address address_;
    AskToken askToken_;
    QPointer<ServedBoardClient> client_;  // a child of this object
    bool stopped_ = false;
};
