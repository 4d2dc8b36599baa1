#include "program.h"

#include "arguments.h"
#include "board.h"
#include "exit_status.h"
#include "firmware_tool.h"
#include "local_server_exchange.h"
#include "outlets.h"
#include "output.h"
#include "panel_settings.h"
#include "port_access.h"
#include "report.h"
#include "serial_board_link.h"
#include "serve_rendezvous.h"
#include "served_verb.h"
#include "server_exchange.h"
#include "stop_signals.h"
#include "token_file.h"
#include "verbs.h"
#include "waiting_open.h"
#include "watch.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <optional>
#include <variant>

namespace Cli {

using namespace Driver;

namespace {

int listPorts(bool json)
{
    const PortAccess::PortListing listing = PortAccess::listPorts();
    if (!listing.storeFailure.isEmpty())
        printMessage(listing.storeFailure);
    printResult(json ? Report::jsonLine(Report::portsObject(listing.ports)) : Report::portLines(listing.ports));
    return int(ExitStatus::Done);
}

int printOutcome(const Invocation& call, const PortAccess::Port& port, const Report::Where& where,
                 const Outcome& outcome, const OutletNames& names)
{
    if (outcome.status != ExitStatus::Done) {
        QString message = QStringLiteral("%1: %2").arg(PortAccess::describe(port), outcome.error);
        if (outcome.silent)
            message += Report::silenceHint(port.name);
        return fail(call.json,
                    Report::errorObject(message, outcome.status, where, outcome.word, outcome.outlets, names));
    }
    if (!outcome.word)
        return int(ExitStatus::Done);
    return printDone(call.json, call.verb == Verb::Reset, PortAccess::describe(port), where, *outcome.word,
                     outcome.outlets, names);
}

// "0.3", "10": seconds as a message gives them, to a hundredth, at least one.
QString seconds(int ms) { return QString::number(std::max(qRound(ms / 10.0), 1) / 100.0); }

// The port was not opened: why, after how long a wait, or which signal ended
// the wait.
int portNotOpened(const Invocation& call, const PortAccess::Port& port, const Report::Where& where,
                  const PortAccess::WaitingOpen& waiting)
{
    const QString waited = waiting.waitedMs ? seconds(*waiting.waitedMs) : QString();
    QJsonObject object;
    if (!waiting.interruptedBy.isEmpty()) {
        object = Report::errorObject(
            QStringLiteral("%1: interrupted by %2 while waiting for the port%3; nothing was written")
                .arg(PortAccess::describe(port), waiting.interruptedBy,
                     waited.isEmpty() ? QString() : QStringLiteral(", after %1 s").arg(waited)),
            ExitStatus::PortFailed, where);
        object.insert(QStringLiteral("reason"), QStringLiteral("interrupted"));
    } else {
        const OpenFailure& failure = *waiting.opened.failure;
        QString message = describeOpenFailure(failure);
        if (!waited.isEmpty())
            message += QStringLiteral(" (after waiting %1 s)").arg(waited);
        object = Report::openFailureObject(message, where, failure);
    }
    if (waiting.waitedMs)
        object.insert(QStringLiteral("waited_s"), *waiting.waitedMs / 1000.0);
    return fail(call.json, object);
}

// The board is ready for a download and the port released: says so, and with
// --exec runs the firmware tool. With --json, the one object on standard
// output tells how the tool ended.
int finishUpgrade(const Invocation& call, const PortAccess::Port& port, const Report::Where& where)
{
    const QString ready =
        QStringLiteral("%1: the board is ready for a firmware download").arg(PortAccess::describe(port));
    QJsonObject object = Report::whereObject(where);
    object.insert(QStringLiteral("upgrade_ready"), true);
    if (!call.json)
        printResult(ready + QStringLiteral("; the port is released\n"));
    if (call.exec) {
        const QStringList argv = FirmwareTool::arguments(*call.exec, where.realDevice);
        const FirmwareTool::Result tool =
            FirmwareTool::run(argv, call.json ? FirmwareTool::Output::ToStandardError : FirmwareTool::Output::Shared);
        object.insert(QStringLiteral("tool"), toolObject(argv, tool));
        if (!tool.succeeded()) {
            QJsonObject error = Report::errorObject(
                QStringLiteral("%1, but the firmware tool failed: %2").arg(ready, FirmwareTool::describe(argv, tool)),
                ExitStatus::ToolFailed, where);
            error.insert(QStringLiteral("upgrade_ready"), true);
            error.insert(QStringLiteral("tool"), object.value(QStringLiteral("tool")));
            return fail(call.json, error);
        }
    }
    if (call.json)
        printResult(Report::jsonLine(object));
    return int(ExitStatus::Done);
}

// How long the read after a lost connection waits for the port.
constexpr int AfterLossWaitMs = 2000;

// The token for a server: --token-file, else the file ORVESSA_TOKEN_FILE
// names; empty when neither is given.
std::variant<QByteArray, QString> serverToken(const Invocation& call)
{
    const QString file = call.tokenFile.value_or(qEnvironmentVariable("ORVESSA_TOKEN_FILE"));
    if (file.isEmpty())
        return QByteArray();
    return readTokenFile(file);
}

// The devices a server for `port` may be found by: the device behind it, and
// the path it is mapped to, under which a server publishes while the device
// is missing.
QStringList servedDevices(const PortAccess::Port& port)
{
    QStringList devices{PortAccess::realDevice(port)};
    if (!devices.contains(port.mappedPath))
        devices << port.mappedPath;
    return devices;
}

// The state as a server's status answer gives it, or why not.
ServerTarget::StateRead stateOf(const ServerReply& reply)
{
    const QJsonObject answer = QJsonDocument::fromJson(reply.body).object();
    if (reply.end == ServerReply::End::Answered && reply.status == 200 &&
        answer.value(QStringLiteral("word")).isDouble())
        return {std::uint16_t(answer.value(QStringLiteral("word")).toInt()), {}};
    if (reply.end == ServerReply::End::Answered)
        return {std::nullopt,
                answer.value(QStringLiteral("error")).toString(QStringLiteral("HTTP status %1").arg(reply.status))};
    return {std::nullopt, reply.why.isEmpty() ? QStringLiteral("no answer") : reply.why};
}

ServerRequest statusRequest() { return ServerRequest{"GET", QStringLiteral("api/status"), {}, {}}; }

// A status through a server: three tries of one exchange, and time for what is queued before it.
int statusWaitMs(const Invocation& call) { return 3 * call.timeoutMs + 2000; }

// After the connection to the server on this machine was lost: the state
// through a server that holds the port again, else from the port once it is
// free (a status query changes nothing).
ServerTarget::StateRead readStateAfterLoss(const Invocation& call, const PortAccess::Port& port)
{
    if (const auto again = ServeRendezvous::find(servedDevices(port)); again && !again->socket.isEmpty())
        return stateOf(askLocalServer({again->socket, again->pid, servedDevices(port)}, statusRequest(),
                                      statusWaitMs(call), false));
    PortAccess::WaitingOpen waiting = PortAccess::openWaiting(port, AfterLossWaitMs);
    if (!waiting.opened.serial)
        return {std::nullopt,
                waiting.opened.failure ? describeOpenFailure(*waiting.opened.failure) : QStringLiteral("interrupted")};
    SerialBoardLink link(*waiting.opened.serial);
    Board board(link, call.timeoutMs);
    try {
        return {board.readStatus(), {}};
    } catch (const BoardError& error) {
        return {std::nullopt, error.message()};
    }
}

// The verb through the server found on this machine for the port; nothing
// when the server cannot be reached and `fallBack` lets the port be tried
// here instead. It goes through the server's local socket and needs no token.
std::optional<int> runLocal(const Invocation& call, const PortAccess::Port& port, const ServeRendezvous::Server& found,
                            const QList<int>& outlets, const OutletNames& names, bool fallBack)
{
    ServerTarget target{QUrl(found.url), {}, found.describe(), ServerTarget::Local{port, names}, std::nullopt, {}};
    if (!found.socket.isEmpty())
        target.socket = LocalServerTarget{found.socket, found.pid, servedDevices(port)};
    target.readAfterLoss = [&call, &port] { return readStateAfterLoss(call, port); };
    QStringList numbers;
    for (int outlet : outlets)
        numbers << QString::number(outlet);
    const auto result =
        target.socket
            ? runThroughServer(call, target, numbers)
            : std::variant<int, ServerUnreachable>(ServerUnreachable{QStringLiteral("it offers no local socket")});
    if (const auto* unreachable = std::get_if<ServerUnreachable>(&result))
        return fallBack ? std::nullopt : std::optional<int>(serverUnreachable(call, target, *unreachable));
    return std::get<int>(result);
}

// The verb through a server on another machine: --server, else ORVESSA_SERVER.
int runRemote(const Invocation& call, const QString& url, const QString& given)
{
    const std::optional<QUrl> server = parseServerUrl(url);
    if (!server)
        return usageError(call.json,
                          QStringLiteral("%1 expects http://HOST:PORT/ (or https://), got '%2'").arg(given, url));
    const auto token = serverToken(call);
    if (const auto* refused = std::get_if<QString>(&token))
        return fail(call.json, Report::errorObject(*refused, ExitStatus::Usage));
    if (call.verb == Verb::Watch)
        return runWatch(call, WatchSource{std::nullopt,
                                          {},
                                          {},
                                          ServedBoardClient::Address{
                                              {}, 0, {}, *server, QString::fromUtf8(std::get<QByteArray>(token))}});
    ServerTarget target{*server,
                        std::get<QByteArray>(token),
                        QStringLiteral("orvessa serve at %1").arg(server->toString()),
                        std::nullopt,
                        std::nullopt,
                        {}};
    target.readAfterLoss = [&call, &target] {
        return stateOf(askServer(target.url, target.token, statusRequest(), statusWaitMs(call), false));
    };
    const auto result = runThroughServer(call, target, call.outlets);
    if (const auto* unreachable = std::get_if<ServerUnreachable>(&result))
        return serverUnreachable(call, target, *unreachable);
    return std::get<int>(result);
}

// The verb on the open port.
Outcome runOpened(const Invocation& call, QSerialPort& serial, const QList<int>& outlets, const OutletNames& names)
{
    SerialBoardLink link(serial);
    Board board(link, call.timeoutMs);
    const VerbRequest request{call.verb, outlets, call.offTimeMs};
    // A cycle catches SIGINT and SIGTERM from before its off half, so that it
    // can switch its outlets back on.
    std::optional<StopSignals> stopSignals;
    if (call.verb == Verb::Cycle)
        stopSignals.emplace();
    return runVerb(board, request, names,
                   [&stopSignals](int ms) { return stopSignals ? stopSignals->wait(ms) : std::optional<QString>(); });
}

}  // namespace

int run(const QStringList& args, const Server& serve)
{
    const auto parsed = parseArguments(args);
    if (const auto* error = std::get_if<UsageError>(&parsed))
        return usageError(error->json, error->message);
    const Invocation& call = std::get<Invocation>(parsed);
    if (call.help) {
        printResult(helpText());
        return int(ExitStatus::Done);
    }
    if (call.version) {
        printResult(QStringLiteral("orvessa %1\n").arg(QStringLiteral(TAVRIN_VERSION)));
        return int(ExitStatus::Done);
    }
    if (call.verb == Verb::Ports)
        return listPorts(call.json);
    if (call.server)
        return runRemote(call, *call.server, QStringLiteral("--server"));
    // The environment names a server unless --port names a port here.
    if (const QString server = qEnvironmentVariable("ORVESSA_SERVER");
        !server.isEmpty() && !call.port && call.verb != Verb::Serve) {
        if (call.verb == Verb::Upgrade)
            return usageError(call.json, QStringLiteral("upgrade is not offered over the network, and ORVESSA_SERVER "
                                                        "names a server: run upgrade on the board's machine with "
                                                        "--port, with its server stopped"));
        return runRemote(call, server, QStringLiteral("ORVESSA_SERVER"));
    }

    const OutletNames names = PanelSettings::outletNames();
    const auto outlets = parseOutlets(call.outlets, names);
    if (const auto* error = std::get_if<QString>(&outlets))
        return usageError(call.json, *error);
    QString portValue;
    if (call.port) {
        portValue = *call.port;
    } else {
        const auto saved = PanelSettings::savedPort();
        if (const auto* unreadable = std::get_if<PanelSettings::UnreadableSavedPort>(&saved))
            return usageError(call.json, unreadable->message);
        portValue = std::get<QString>(saved);
    }
    const std::optional<PortAccess::Port> port = PortAccess::portRecordingNewDevices(portValue);
    if (!port)
        return usageError(call.json, QStringLiteral("--port expects COM<n> or a device path, got '%1'").arg(portValue));
    if (call.verb == Verb::Watch) {
        const QStringList devices = servedDevices(*port);
        return runWatch(call, WatchSource{*port, names, [devices] { return ServeRendezvous::find(devices); }, {}});
    }
    if (call.verb == Verb::Serve)
        return serve ? serve(call.serve, call.timeoutMs, *port, names)
                     : usageError(false, QStringLiteral("serve is not built in"));

    // A server that holds the port takes every verb but upgrade; one that
    // cannot be reached (it is stopping) leaves the port to be tried here.
    const QList<int>& chosen = std::get<QList<int>>(outlets);
    const bool mayBeServed = call.verb != Verb::Upgrade;
    bool serverTried = false;
    if (const auto found = mayBeServed ? ServeRendezvous::find(servedDevices(*port)) : std::nullopt) {
        if (const std::optional<int> status = runLocal(call, *port, *found, chosen, names, true))
            return *status;
        serverTried = true;
    }

    Outcome outcome;
    Report::Where where{port->name, {}};
    std::optional<ServeRendezvous::Server> startedSince;  // a server that took the port since the look for one
    {
        PortAccess::WaitingOpen waiting = PortAccess::openWaiting(*port, call.waitMs);
        PortAccess::OpenResult& opened = waiting.opened;
        where.realDevice = opened.realDevice;
        if (!opened.serial) {
            if (!opened.failure || !opened.failure->server || !mayBeServed || serverTried)
                return portNotOpened(call, *port, where, waiting);
            startedSince = opened.failure->server;
        } else {
            outcome = runOpened(call, *opened.serial, chosen, names);
            // The port is released, and the turn handed on, before anything
            // is printed or run.
            opened.serial->close();
        }
        waiting.turn.release();
    }
    if (startedSince)
        return *runLocal(call, *port, *startedSince, chosen, names, false);
    if (outcome.status == ExitStatus::Done && call.verb == Verb::Upgrade)
        return finishUpgrade(call, *port, where);
    return printOutcome(call, *port, where, outcome, names);
}

}  // namespace Cli
