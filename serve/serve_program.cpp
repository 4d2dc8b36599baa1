#include "serve_program.h"

#include "board_events.h"
#include "board_http_server.h"
#include "board_queue.h"
#include "exit_status.h"
#include "guarded_tcp_server.h"
#include "local_server.h"
#include "open_failure.h"
#include "own_token.h"
#include "rendezvous.h"
#include "serial_board_connection.h"
#include "signal_pipe.h"
#include "token_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QHostInfo>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QSocketNotifier>

#include <cstdio>
#include <memory>
#include <optional>
#include <utility>
#include <variant>

#include <grp.h>
#include <sys/stat.h>

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
    // As orvessa says why it stops.
    const QByteArray bytes = QStringLiteral("orvessa: %1\n").arg(message).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    return int(status);
}

QString urlOf(const QHostAddress& address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("http://%1:%2/").arg(host).arg(port);
}

// The group that may switch through the local socket: for a service (its
// own runtime folder), the device's group, whose members may open the port
// itself; none for a server run by hand, whose user alone may.
std::optional<gid_t> socketGroup(const PortAccess::Port& port)
{
    if (qEnvironmentVariableIsEmpty("RUNTIME_DIRECTORY"))
        return std::nullopt;
    struct stat device {};
    if (::stat(QFile::encodeName(PortAccess::realDevice(port)).constData(), &device) == 0)
        return device.st_gid;
    if (const group* dialout = ::getgrnam("dialout"))
        return dialout->gr_gid;
    return std::nullopt;
}

QString groupName(gid_t gid)
{
    const group* entry = ::getgrgid(gid);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(gid);
}

// Where the token made at start is, and, outside a service's journal, the
// page's address with it, as notebook servers print theirs.
QString tokenAdvice(const QString& url, const OwnToken& token)
{
    if (!qEnvironmentVariableIsEmpty("INVOCATION_ID"))
        return QStringLiteral("HTTP clients need the token in %1, which only this service's user may read: give the "
                              "service a token file to share it")
            .arg(token.path());
    return QStringLiteral("HTTP clients need the token in %1 (readable by this user only); the page with it: "
                          "%2#token=%3")
        .arg(token.path(), url, QString::fromLatin1(token.token()));
}

}  // namespace

int serve(const ServeOptions& options, int timeoutMs, const PortAccess::Port& port, const Driver::OutletNames& names)
{
    // From the start, so that a signal during start-up is not lost.
    SignalPipe stopSignals{SIGINT, SIGTERM};

    QByteArray token;
    if (options.tokenFile) {
        auto read = Driver::readTokenFile(*options.tokenFile);
        if (const auto* refused = std::get_if<QString>(&read))
            return refuse(*refused, ExitStatus::Usage);
        token = std::get<QByteArray>(std::move(read));
    }

    // Listening comes first: a server that cannot listen never touches the port.
    const QHostAddress address(options.listenHost);
    HttpLimits limits;
    auto tcp = std::make_unique<GuardedTcpServer>(limits);
    if (!tcp->listen(address, options.listenPort)) {
        const QString error = tcp->errorString();
        return refuse(QStringLiteral("cannot listen on %1: %2").arg(urlOf(address, options.listenPort), error),
                      ExitStatus::PortFailed);
    }
    // Every address is no address a browser opens: the machine's name is;
    // clients on this machine reach it through loopback.
    const bool anyIPv4 = address == QHostAddress(QHostAddress::AnyIPv4);
    const bool everyAddress = anyIPv4 || address == QHostAddress(QHostAddress::AnyIPv6);
    const QHostAddress local = !everyAddress ? address
                               : anyIPv4     ? QHostAddress(QHostAddress::LocalHost)
                                             : QHostAddress(QHostAddress::LocalHostIPv6);
    const QString url = everyAddress
                            ? QStringLiteral("http://%1:%2/").arg(QHostInfo::localHostName()).arg(tcp->serverPort())
                            : urlOf(address, tcp->serverPort());
    const QString folder = Rendezvous::folder();
    if (!QDir().mkpath(folder))
        return refuse(QStringLiteral("cannot create %1").arg(folder), ExitStatus::PortFailed);
    const QString ownFiles = QStringLiteral("%1/serve-%2").arg(folder).arg(QCoreApplication::applicationPid());

    // HTTP needs a token unless told otherwise: without a file, one made
    // here, which only this user may read.
    std::optional<OwnToken> madeToken;
    if (token.isEmpty() && !options.noToken) {
        madeToken.emplace(ownFiles + QStringLiteral(".token"));
        if (const QString failure = madeToken->write(); !failure.isEmpty())
            return refuse(failure, ExitStatus::PortFailed);
        token = madeToken->token();
    }

    const QString portLabel = PortAccess::describe(port);
    SerialBoardConnection connection(port, timeoutMs);
    Driver::BoardQueue::Timing timing;
    timing.pollMs = options.pollMs;
    Driver::BoardQueue queue(connection, names, timing);
    QString why;
    QString toldAlready;  // the queue's first try tells an opening that failed here again
    if (!queue.openNow(why)) {
        toldAlready = why;
        if (queue.lastFailure()->kind != OpenFailure::Kind::Missing)
            return refuse(why, ExitStatus::PortFailed);
        while (why.endsWith(QLatin1Char('.')))
            why.chop(1);
        logLine(QStringLiteral("%1; serving anyway: requests are answered 503 until the device appears").arg(why));
    }
    const ServedBoard served{queue, names, portLabel,
                             [&port, &queue] {
                                 return Driver::Report::Where{port.name, queue.device()};
                             },
                             [&queue] { return queue.lastFailure().has_value(); }};

    // The local socket: who may open it may switch, without a token.
    BoardApi localApi(served);
    const auto currentDevice = [&queue, &port] { return queue.device().isEmpty() ? port.mappedPath : queue.device(); };
    LocalServer localServer(localApi,
                            [&port, &currentDevice] {
                                return QJsonObject{{QStringLiteral("orvessa_serve"), 1},
                                                   {QStringLiteral("pid"), QCoreApplication::applicationPid()},
                                                   {QStringLiteral("port"), port.name},
                                                   {QStringLiteral("path"), port.mappedPath},
                                                   {QStringLiteral("device"), currentDevice()}};
                            },
                            {});
    const std::optional<gid_t> group = socketGroup(port);
    QString socketPath = ownFiles + QStringLiteral(".sock");
    if (const QString failure = localServer.listen(socketPath, group ? int(*group) : -1); !failure.isEmpty()) {
        logLine(QStringLiteral("%1: orvessa on this machine will go through the port instead").arg(failure));
        socketPath.clear();
    }
    QObject::connect(&localServer, &LocalServer::logLine, &localServer, logLine);
    BoardEvents events(queue, [&localApi](std::uint16_t word) { return localApi.statusOf(word); });
    localServer.publish(events);

    Rendezvous rendezvous(ServeRendezvous::Server{urlOf(local, tcp->serverPort()),
                                                  !token.isEmpty(),
                                                  QCoreApplication::applicationPid(),
                                                  port.name,
                                                  port.mappedPath,
                                                  {},
                                                  socketPath,
                                                  madeToken ? madeToken->path() : QString(),
                                                  {}});
    const auto publish = [&rendezvous, &currentDevice] {
        if (const QString failure = rendezvous.publish(currentDevice()); !failure.isEmpty())
            logLine(QStringLiteral("orvessa on this machine will not find this server: %1").arg(failure));
    };
    QObject::connect(&queue, &Driver::BoardQueue::linkEvent, &queue, [&](const QString& what) {
        if (what == std::exchange(toldAlready, {}))
            return;
        logLine(what.startsWith(portLabel) ? what : QStringLiteral("%1: %2").arg(portLabel, what));
        if (what == QLatin1String("the port is open"))
            publish();
    });

    AccessRules access({token, address, tcp->serverPort(), options.allowHosts, QHostInfo::localHostName(),
                        [] { return QNetworkInterface::allAddresses(); }});
    BoardHttpServer http(served, std::move(access));
    QObject::connect(&http, &BoardHttpServer::logLine, &http, logLine);
    http.publish(events);
    http.serve(tcp.release());  // the HTTP server is its parent now
    publish();
    logLine(QStringLiteral("serving %1 at %2%3")
                .arg(portLabel, url,
                     token.isEmpty() ? QStringLiteral(" (no token: every account on this machine may switch)")
                                     : QStringLiteral(" (token required)")));
    if (madeToken)
        logLine(tokenAdvice(url, *madeToken));
    if (!socketPath.isEmpty())
        logLine(QStringLiteral("orvessa on this machine goes through %1, which %2 may use")
                    .arg(socketPath, group ? QStringLiteral("group %1").arg(groupName(*group))
                                           : QStringLiteral("this user alone")));

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
    localServer.close();
    rendezvous.withdraw();
    logLine(QStringLiteral("stopped"));
    return int(ExitStatus::Done);
}

}  // namespace Serve
