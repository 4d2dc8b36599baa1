#include "client_board_server.h"

namespace {
constexpr int Unauthorized = 401;
}

ClientBoardServer::ClientBoardServer(ServedBoardClient::Address address, AskToken askToken, QObject* parent)
    : BoardServer(parent), address_(std::move(address)), askToken_(std::move(askToken))
{
    makeClient();
}

ClientBoardServer::~ClientBoardServer() { stop(); }

void ClientBoardServer::makeClient()
{
    if (client_) {
        client_->stop();
        client_->deleteLater();
    }
    client_ = new ServedBoardClient(address_, this);
    connect(client_, &ServedBoardClient::state, this, &BoardServer::state);
    connect(client_, &ServedBoardClient::link, this, &BoardServer::link);
    connect(client_, &ServedBoardClient::lost, this, &BoardServer::lost);
}

void ClientBoardServer::start() { askState(address_.socketPath.isEmpty() && static_cast<bool>(askToken_)); }

void ClientBoardServer::askState(bool mayAskToken)
{
    client_->request(QStringLiteral("GET"), QStringLiteral("/api/status"), {},
                     [self = QPointer<ClientBoardServer>(this), mayAskToken](const ServedBoardClient::Answer& answer) {
                         if (self && !self->stopped_)
                             self->onStateAnswer(answer, mayAskToken);
                     });
}

void ClientBoardServer::onStateAnswer(const ServedBoardClient::Answer& answer, bool mayAskToken)
{
    if (answer.status == Unauthorized) {
        const QString token = mayAskToken ? askToken_() : QString();
        if (stopped_)
            return;
        if (token.isEmpty() || token == address_.token) {
            emit lost(QStringLiteral("%1 refused the token (HTTP 401)").arg(describe()));
            return;
        }
        address_.token = token;
        makeClient();
        return askState(false);
    }
    if (answer.status == 0) {
        emit lost(answer.error);
        return;
    }
    // The events begin with the state as last read; a board the server could
    // not read has none yet, and its link events tell why.
    client_->start();
}

void ClientBoardServer::stop()
{
    stopped_ = true;
    if (client_)
        client_->stop();
}

void ClientBoardServer::post(const QString& path, const QJsonObject& body)
{
    // The outcome shows in the state events; a refusal changes nothing.
    client_->request(QStringLiteral("POST"), path, body, [](const ServedBoardClient::Answer&) {});
}

QString ClientBoardServer::describe() const { return client_->describe(); }
