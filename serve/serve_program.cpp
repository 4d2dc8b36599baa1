#include "serve_program.h"

#include "board_http_server.h"
#include "board_queue.h"
#include "exit_status.h"
#include "guarded_tcp_server.h"
#include "open_failure.h"
#include "output.h"
#include "rendezvous.h"
#include "serial_board_connection.h"
#include "signal_pipe.h"
#include "token_file.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QSocketNotifier>

#include <cstdio>
#include <memory>
#include <optional>
#include <utility>
#include <variant>

namespace Serve {

namespace {

// How long stopping waits for clients to take their last answers.
constexpr int CloseConnectionsMs = 2000;

void logLine(const QString& line)
{
    const QByteArray bytes = QStringLiteral("orvessa serve: %1\n").arg(line).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

int refuse(const QString& message, ExitStatus status)
{
    Cli::printMessage(message);
    return int(status);
}

QString urlOf(const QHostAddress& address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("http://%1:%2/").arg(host).arg(port);
}

}  // namespace

int serve(const Cli::Invocation& call, const PortAccess::Port& port, const Cli::OutletNames& names)
{
    const Cli::ServeOptions& options = call.serve;
    // From the start, so that a signal during start-up is not lost.
    SignalPipe stopSignals{SIGINT, SIGTERM};

    QByteArray token;
    if (options.tokenFile) {
        auto read = Cli::readTokenFile(*options.tokenFile);
        if (const auto* refused = std::get_if<QString>(&read))
            return refuse(*refused, ExitStatus::Usage);
        token = std::get<QByteArray>(std::move(read));
    }

    const QString portLabel = PortAccess::describe(port);
    SerialBoardConnection connection(port, call.timeoutMs);
    QString why;
    QString toldAlready;  // the queue's first try tells an opening that failed here again
    if (!connection.board(why)) {
        toldAlready = why;
        if (connection.lastFailure()->kind != OpenFailure::Kind::Missing)
            return refuse(why, ExitStatus::PortFailed);
        while (why.endsWith(QLatin1Char('.')))
            why.chop(1);
        logLine(QStringLiteral("%1; serving anyway: requests are answered 503 until the device appears").arg(why));
    }

    const QHostAddress address(options.listenHost);
    HttpLimits limits;
    auto tcp = std::make_unique<GuardedTcpServer>(limits);
    if (!tcp->listen(address, options.listenPort)) {
        const QString error = tcp->errorString();
        return refuse(QStringLiteral("cannot listen on %1: %2").arg(urlOf(address, options.listenPort), error),
                      ExitStatus::PortFailed);
    }
    const QString url = urlOf(address, tcp->serverPort());
    // Clients on this machine reach a server listening on every address through loopback.
    const QHostAddress local = address == QHostAddress(QHostAddress::AnyIPv4) ? QHostAddress(QHostAddress::LocalHost)
                               : address == QHostAddress(QHostAddress::AnyIPv6)
                                   ? QHostAddress(QHostAddress::LocalHostIPv6)
                                   : address;

    BoardQueue::Timing timing;
    timing.pollMs = options.pollMs;
    BoardQueue queue(connection, names, timing);
    Rendezvous rendezvous(ServeRendezvous::Server{urlOf(local, tcp->serverPort()),
                                                  !token.isEmpty(),
                                                  QCoreApplication::applicationPid(),
                                                  port.name,
                                                  port.mappedPath,
                                                  {},
                                                  {}});
    const auto publish = [&rendezvous, &connection, &port] {
        const QString device = connection.device().isEmpty() ? port.mappedPath : connection.device();
        if (const QString failure = rendezvous.publish(device); !failure.isEmpty())
            logLine(QStringLiteral("orvessa on this machine will not find this server: %1").arg(failure));
    };
    QObject::connect(&queue, &BoardQueue::linkEvent, &queue, [&](const QString& what) {
        if (what == std::exchange(toldAlready, {}))
            return;
        logLine(what.startsWith(portLabel) ? what : QStringLiteral("%1: %2").arg(portLabel, what));
        if (what == QLatin1String("the port is open"))
            publish();
    });

    AccessRules access({token, address, tcp->serverPort(), options.allowHosts, QHostInfo::localHostName(),
                        [] { return QNetworkInterface::allAddresses(); }});
    BoardHttpServer http(ServedBoard{queue, names, portLabel,
                                     [&port, &connection] {
                                         return Cli::Report::Where{port.name, connection.device()};
                                     },
                                     [&connection] { return connection.lastFailure().has_value(); }},
                         std::move(access));
    QObject::connect(&http, &BoardHttpServer::logLine, &http, logLine);
    http.serve(tcp.release());  // the HTTP server is its parent now
    publish();
    logLine(QStringLiteral("serving %1 at %2%3")
                .arg(portLabel, url, token.isEmpty() ? QString() : QStringLiteral(" (token required)")));

    QEventLoop loop;
    // Without the pipe (it could not be made), the signals keep their default.
    std::optional<QSocketNotifier> signalled;
    if (stopSignals.readEnd() >= 0)
        signalled.emplace(stopSignals.readEnd(), QSocketNotifier::Read);
    bool stopping = false;
    if (signalled)
        QObject::connect(&*signalled, &QSocketNotifier::activated, &loop, [&] {
            const int signal = stopSignals.take();
            if (signal == 0 || stopping)
                return;
            stopping = true;
            logLine(QStringLiteral("%1: stopping").arg(SignalPipe::name(signal)));
            http.stopListening();
            queue.stop([&] { http.closeConnections(CloseConnectionsMs, [&loop] { loop.quit(); }); });
        });
    loop.exec();
    rendezvous.withdraw();
    logLine(QStringLiteral("stopped"));
    return int(ExitStatus::Done);
}

}  // namespace Serve
