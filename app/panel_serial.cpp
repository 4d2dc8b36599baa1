#include "panel_serial.h"

#include "client_board_server.h"
#include "host_serial.h"
#include "routed_serial.h"
#include "served_serial.h"
#include "server_exchange.h"
#include "texts.h"
#include "token_file.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void usageError(const QString& message)
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationFilePath().section(u'/', -1)),
                 qPrintable(message));
    std::exit(2);
}

// Asks the operator for the token once; the answer, even none, holds for the session.
ClientBoardServer::AskToken tokenDialog(SessionToken& session, const QString& server)
{
    return [&session, server] {
        if (!session.asked) {
            session.asked = true;
            session.token =
                QInputDialog::getText(nullptr, Texts::AppTitle, QStringLiteral("%1 needs its token:").arg(server),
                                      QLineEdit::Password)
                    .trimmed();
        }
        return session.token;
    };
}

}  // namespace

PanelTarget parsePanelArguments(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The control panel of the Orvessa outlet controller."));
    parser.addHelpOption();
    const QCommandLineOption server(QStringLiteral("server"),
                                    QStringLiteral("Drive the board that orvessa serve at URL serves, instead of a "
                                                   "port of this machine."),
                                    QStringLiteral("URL"));
    const QCommandLineOption tokenFile(QStringLiteral("token-file"),
                                       QStringLiteral("The server's token, the one line of FILE (with --server)."),
                                       QStringLiteral("FILE"));
    parser.addOptions({server, tokenFile});
    parser.process(arguments);

    PanelTarget target;
    if (parser.isSet(tokenFile) && !parser.isSet(server))
        usageError(QStringLiteral("--token-file goes with --server URL"));
    if (!parser.isSet(server))
        return target;
    target.server = Driver::parseServerUrl(parser.value(server));
    if (!target.server)
        usageError(
            QStringLiteral("--server expects http://HOST:PORT/ (or https://), got '%1'").arg(parser.value(server)));
    if (parser.isSet(tokenFile)) {
        auto token = Driver::readTokenFile(parser.value(tokenFile));
        if (const auto* refused = std::get_if<QString>(&token))
            usageError(*refused);
        target.token = std::get<QByteArray>(token);
    }
    return target;
}

std::unique_ptr<SerialComponent> makePanelSerial(const PanelTarget& target, SessionToken& token)
{
    if (target.server) {
        const QUrl url = *target.server;
        const QString name = QStringLiteral("orvessa serve at %1").arg(url.toString());
        const bool tokenGiven = !target.token.isEmpty();
        const QString fileToken = QString::fromLatin1(target.token);
        auto connector = [url, tokenGiven, fileToken, &token, name]() -> std::unique_ptr<BoardServer> {
            ServedBoardClient::Address address;
            address.url = url;
            address.token = tokenGiven ? fileToken : token.token;
            return std::make_unique<ClientBoardServer>(address, tokenGiven ? ClientBoardServer::AskToken()
                                                                           : tokenDialog(token, name));
        };
        return std::make_unique<ServedSerial>(connector, name);
    }

    auto host = std::make_unique<HostSerial>();
    const HostSerial* port = host.get();
    // The server the busy report names, when the panel can reach it through
    // its local socket, as orvessa's commands on this machine do.
    auto serverHolding = [port](const OperationError&) -> std::optional<ServeRendezvous::Server> {
        const std::optional<OpenFailure>& failure = port->lastOpenFailure();
        if (!failure || !failure->server || failure->server->socket.isEmpty())
            return std::nullopt;
        return failure->server;
    };
    auto connect = [](const ServeRendezvous::Server& server) -> std::unique_ptr<BoardServer> {
        ServedBoardClient::Address address;
        address.socketPath = server.socket;
        address.pid = server.pid;
        address.device = server.device;
        address.url = QUrl(server.url);
        return std::make_unique<ClientBoardServer>(address, ClientBoardServer::AskToken());
    };
    return std::make_unique<RoutedSerial>(std::move(host), serverHolding, connect);
}

void showServerInTitle(SerialComponent& serial, QWidget& window)
{
    if (const auto* served = qobject_cast<ServedSerial*>(&serial)) {
        window.setWindowTitle(servedTitle(served->serverDescription()));
        return;
    }
    auto* routed = qobject_cast<RoutedSerial*>(&serial);
    if (!routed)
        return;
    const auto show = [&window, caption = window.windowTitle()](const QString& server) {
        window.setWindowTitle(server.isEmpty() ? caption : servedTitle(server));
    };
    show(routed->server());
    QObject::connect(routed, &RoutedSerial::routeChanged, &window, show);
}

QString servedTitle(const QString& server) { return Texts::AppTitle + QStringLiteral(" — ") + server; }
