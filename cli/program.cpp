#include "program.h"

#include "arguments.h"
#include "board.h"
#include "exit_status.h"
#include "firmware_tool.h"
#include "outlets.h"
#include "panel_settings.h"
#include "port_access.h"
#include "report.h"
#include "serial_board_link.h"
#include "stop_signals.h"
#include "verbs.h"
#include "waiting_open.h"

#include <algorithm>
#include <cstdio>

namespace Cli {

namespace {

void print(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void printResult(const QString& text) { print(stdout, text); }
void printMessage(const QString& text) { print(stderr, QStringLiteral("orvessa: ") + text + QLatin1Char('\n')); }

// A failure: the message on standard error, and with --json the same as a
// JSON object on standard output, where the caller's program reads.
int fail(bool json, const QJsonObject& object)
{
    printMessage(object.value(QStringLiteral("error")).toString());
    if (json)
        printResult(Report::jsonLine(object));
    return object.value(QStringLiteral("status")).toInt();
}

int usageError(bool json, const QString& message)
{
    return fail(json, Report::errorObject(message + QStringLiteral(" (see orvessa --help)"), ExitStatus::Usage));
}

int listPorts(bool json)
{
    const PortAccess::PortListing listing = PortAccess::listPorts();
    if (!listing.storeFailure.isEmpty())
        printMessage(listing.storeFailure);
    printResult(json ? Report::jsonLine(Report::portsObject(listing.ports)) : Report::portLines(listing.ports));
    return int(ExitStatus::Done);
}

// A board that stays silent: what to look at before trying again.
QString silenceHint(const PortAccess::Port& port)
{
    return QStringLiteral(". Check that the board is powered and its cable plugged in, that %1 is the board's port "
                          "(orvessa ports lists them), or give a longer --timeout")
        .arg(port.name);
}

int printOutcome(const Invocation& call, const PortAccess::Port& port, const Report::Where& where,
                 const Outcome& outcome, const OutletNames& names)
{
    if (outcome.status != ExitStatus::Done) {
        QString message = QStringLiteral("%1: %2").arg(PortAccess::describe(port), outcome.error);
        if (outcome.silent)
            message += silenceHint(port);
        return fail(call.json,
                    Report::errorObject(message, outcome.status, where, outcome.word, outcome.outlets, names));
    }
    if (call.verb == Verb::Reset) {
        QJsonObject object = Report::statusObject(where, *outcome.word, outcome.outlets, names);
        object.insert(QStringLiteral("answers_after_reset"), true);
        printResult(
            call.json ? Report::jsonLine(object)
                      : QStringLiteral("%1: the board was reset and answers again\n").arg(PortAccess::describe(port)));
    } else if (outcome.word) {
        printResult(call.json ? Report::jsonLine(Report::statusObject(where, *outcome.word, outcome.outlets, names))
                              : Report::statusLines(*outcome.word, outcome.outlets, names));
    }
    return int(ExitStatus::Done);
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
        object.insert(QStringLiteral("tool"), Report::toolObject(argv, tool));
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
    if (call.verb == Verb::Serve)
        return serve ? serve(call, *port, names) : usageError(false, QStringLiteral("serve is not built in"));

    Outcome outcome;
    Report::Where where{port->name, {}};
    {
        PortAccess::WaitingOpen waiting = PortAccess::openWaiting(*port, call.waitMs);
        PortAccess::OpenResult& opened = waiting.opened;
        where.realDevice = opened.realDevice;
        if (!opened.serial)
            return portNotOpened(call, *port, where, waiting);
        SerialBoardLink link(*opened.serial);
        Board board(link, call.timeoutMs);
        const VerbRequest request{call.verb, std::get<QList<int>>(outlets), call.offTimeMs};
        // A cycle catches SIGINT and SIGTERM from before its off half, so that
        // it can switch its outlets back on.
        std::optional<StopSignals> stopSignals;
        if (call.verb == Verb::Cycle)
            stopSignals.emplace();
        outcome = runVerb(board, request, names, [&stopSignals](int ms) {
            return stopSignals ? stopSignals->wait(ms) : std::optional<QString>();
        });
        // The port is released, and the turn handed on, before anything is
        // printed or run.
        opened.serial->close();
        waiting.turn.release();
    }
    if (outcome.status == ExitStatus::Done && call.verb == Verb::Upgrade)
        return finishUpgrade(call, *port, where);
    return printOutcome(call, *port, where, outcome, names);
}

}  // namespace Cli
