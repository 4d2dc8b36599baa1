#include "served_verb.h"

#include "exit_status.h"
#include "open_failure.h"
#include "output.h"
#include "report.h"
#include "server_exchange.h"
#include "verbs.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>

#include <grp.h>
#include <sys/stat.h>

namespace Cli {

using namespace Driver;

namespace {

// Time for requests the server has queued before this one.
constexpr int QueueAllowanceMs = 2000;

ServerRequest requestFor(const Invocation& call, const QStringList& outlets)
{
    if (call.verb == Verb::Status) {
        ServerRequest request{"GET", QStringLiteral("api/status"), {}, {}};
        for (const QString& outlet : outlets)
            request.query.addQueryItem(QStringLiteral("outlets"), outlet);
        return request;
    }
    QJsonObject body;
    if (!outlets.isEmpty())
        body.insert(QStringLiteral("outlets"), QJsonArray::fromStringList(outlets));
    if (call.verb == Verb::Cycle)
        body.insert(QStringLiteral("off_time"), call.offTimeMs / 1000.0);
    return ServerRequest{
        "POST", QStringLiteral("api/") + verbName(call.verb), {}, QJsonDocument(body).toJson(QJsonDocument::Compact)};
}

// As long as the command could take on its own with this --timeout: a reply
// asked for three times for each exchange with the board (a read, a command
// per outlet, a read-back; twice that for a cycle), the off-time, a reset's
// wait, and time for the requests queued before it.
int answerWaitMs(const Invocation& call, qsizetype outlets)
{
    const int perOutlet = int(outlets == 0 ? OutletCount : outlets);
    int exchanges = 1;
    int besides = QueueAllowanceMs;
    switch (call.verb) {
    case Verb::On:
    case Verb::Off:
    case Verb::Toggle:
        exchanges = 2 + perOutlet;
        break;
    case Verb::Cycle:
        exchanges = 2 * (2 + perOutlet);
        besides += call.offTimeMs;
        break;
    case Verb::AllOn:
    case Verb::AllOff:
        exchanges = 3;
        break;
    case Verb::Reset:
        exchanges = 2;
        besides += ResetAnswerMs;
        break;
    default:
        break;
    }
    return 3 * call.timeoutMs * exchanges + besides;
}

// How messages begin for the board behind the server: the port as this
// command names it, else as the server does.
QString boardLabel(const ServerTarget& server, const QJsonObject& answer)
{
    if (server.local)
        return PortAccess::describe(server.local->port);
    return QStringLiteral("%1 at %2").arg(answer.value(QStringLiteral("port")).toString(), server.url.toString());
}

// The beginning of a message about the server itself: the local port, if any.
QString portPrefix(const ServerTarget& server)
{
    return server.local ? PortAccess::describe(server.local->port) + QStringLiteral(": ") : QString();
}

int printState(const Invocation& call, const ServerTarget& server, const QJsonObject& answer)
{
    const auto word = std::uint16_t(answer.value(QStringLiteral("word")).toInt());
    OutletNames names = server.local ? server.local->names : OutletNames{};
    QList<int> outlets;
    for (const QJsonValue& entry : answer.value(QStringLiteral("outlets")).toArray()) {
        const int number = entry.toObject().value(QStringLiteral("number")).toInt();
        if (number < 1 || number > OutletCount)
            continue;
        outlets << number;
        if (!server.local)
            names.at(std::size_t(number - 1)) = entry.toObject().value(QStringLiteral("name")).toString();
    }
    const Report::Where where{server.local ? server.local->port.name : answer.value(QStringLiteral("port")).toString(),
                              answer.value(QStringLiteral("device")).toString()};
    return printDone(call.json, call.verb == Verb::Reset, boardLabel(server, answer), where, word, outlets, names);
}

// The server's error, told as orvessa tells it; the request's faults (HTTP
// 401 to 413) name the server.
int printError(const Invocation& call, const ServerTarget& server, int httpStatus, QJsonObject error)
{
    QString message = error.value(QStringLiteral("error")).toString();
    if (httpStatus == 400)
        message += QStringLiteral(" (see orvessa --help)");
    else if (httpStatus == 401 && server.token.isEmpty())
        message =
            QStringLiteral("%1 needs its token: give --token-file FILE, or set ORVESSA_TOKEN_FILE").arg(server.name);
    else if (httpStatus > 400 && httpStatus < 500 && httpStatus != 409)
        message = QStringLiteral("%1: %2").arg(server.name, message);
    error.insert(QStringLiteral("error"), message);
    // The server's view of the board, for its page: orvessa's own error has neither.
    error.remove(QStringLiteral("answering"));
    error.remove(QStringLiteral("last_answer"));
    if (server.local && error.contains(QStringLiteral("port")))
        error.insert(QStringLiteral("port"), server.local->port.name);
    return fail(call.json, error);
}

std::optional<Report::Where> whereOf(const ServerTarget& server)
{
    if (!server.local)
        return std::nullopt;
    return Report::Where{server.local->port.name, PortAccess::realDevice(server.local->port)};
}

// Who may switch through the server's local socket, and how else to reach it.
QString whoMaySwitch(const ServerTarget& server)
{
    QString group;
    struct stat file {};
    if (server.socket && ::stat(QFile::encodeName(server.socket->socket).constData(), &file) == 0 &&
        (file.st_mode & S_IWGRP))
        if (const struct group* entry = ::getgrgid(file.st_gid))
            group = QString::fromLocal8Bit(entry->gr_name);
    const QString viaHttp = QStringLiteral("or ask its owner for its token and give --server %1 --token-file FILE")
                                .arg(server.url.toString());
    if (!group.isEmpty())
        return QStringLiteral("members of the group %1 may (sudo adduser %2 %1, then log in again), %3")
            .arg(group, userName(), viaHttp);
    return QStringLiteral("only the user that runs it may; %1").arg(viaHttp);
}

// The connection ended after the request was sent: the server may have done
// it, so it is not sent again, here or to the port; the state is read anew
// when it can be.
int outcomeUnknown(const Invocation& call, const ServerTarget& server, const QStringList& outlets, const QString& why)
{
    const QString asked = (QStringList{verbName(call.verb)} + outlets).join(QLatin1Char(' '));
    QString message = QStringLiteral("%1the connection to %2 was lost after the request was sent (%3): whether '%4' "
                                     "was done is unknown, and it was not sent again")
                          .arg(portPrefix(server), server.name, why, asked);
    const ServerTarget::StateRead read = server.readAfterLoss
                                             ? server.readAfterLoss()
                                             : ServerTarget::StateRead{std::nullopt, QStringLiteral("not tried")};
    QList<int> shown;
    OutletNames names = server.local ? server.local->names : OutletNames{};
    for (const QString& outlet : outlets)
        if (const int number = outlet.toInt(); number >= 1 && number <= OutletCount)
            shown << number;
    if (shown.isEmpty())
        shown = allOutlets();
    if (read.word) {
        QStringList states;
        for (int outlet : shown)
            states << QStringLiteral("%1 is %2").arg(outletLabel(outlet, names), stateName(isOn(*read.word, outlet)));
        message += QStringLiteral("; now %1").arg(states.join(QStringLiteral(", ")));
    } else {
        message += QStringLiteral("; the state could not be read: %1").arg(read.why);
    }
    QJsonObject error = Report::errorObject(message, ExitStatus::OutcomeUnknown, whereOf(server), read.word,
                                            read.word ? shown : QList<int>{}, names);
    error.insert(QStringLiteral("reason"), QStringLiteral("outcome_unknown"));
    return fail(call.json, error);
}

}  // namespace

std::variant<int, ServerUnreachable> runThroughServer(const Invocation& call, const ServerTarget& server,
                                                      const QStringList& outlets)
{
    const bool cycle = call.verb == Verb::Cycle;
    const int waitMs = answerWaitMs(call, outlets.size());
    const ServerRequest request = requestFor(call, outlets);
    const ServerReply reply = server.socket ? askLocalServer(*server.socket, request, waitMs, cycle)
                                            : askServer(server.url, server.token, request, waitMs, cycle);
    const QString label = portPrefix(server);
    switch (reply.end) {
    case ServerReply::End::Unreachable:
        return ServerUnreachable{reply.why};
    case ServerReply::End::NotAllowed:
        return fail(call.json, Report::errorObject(QStringLiteral("%1the port is held by %2, whose local socket this "
                                                                  "user may not use (%3): %4")
                                                       .arg(label, server.name, reply.why, whoMaySwitch(server)),
                                                   ExitStatus::PortFailed, whereOf(server)));
    case ServerReply::End::Lost:
        return outcomeUnknown(call, server, outlets, reply.why);
    case ServerReply::End::TimedOut:
        return fail(call.json,
                    Report::errorObject(QStringLiteral("%1%2 did not answer within %3 s: the board or the server is "
                                                       "silent or busy; give a longer --timeout")
                                            .arg(label, server.name)
                                            .arg(waitMs / 1000.0),
                                        ExitStatus::BoardFailed, whereOf(server)));
    case ServerReply::End::Interrupted:
        return fail(call.json, Report::errorObject(QStringLiteral("%1interrupted by %2; %3 finishes the cycle by "
                                                                  "itself and switches the outlets back on after the "
                                                                  "off-time")
                                                       .arg(label, reply.why, server.name),
                                                   ExitStatus::Interrupted, whereOf(server)));
    case ServerReply::End::Answered:
        break;
    }
    const QJsonObject answer = QJsonDocument::fromJson(reply.body).object();
    if (reply.status == 200 && answer.value(QStringLiteral("word")).isDouble())
        return printState(call, server, answer);
    if (reply.status >= 400 && answer.value(QStringLiteral("error")).isString() &&
        answer.value(QStringLiteral("status")).isDouble())
        return printError(call, server, reply.status, answer);
    return fail(call.json,
                Report::errorObject(QStringLiteral("%1%2 answered with HTTP status %3, not as orvessa serve answers")
                                        .arg(label, server.name)
                                        .arg(reply.status),
                                    ExitStatus::PortFailed, whereOf(server)));
}

int serverUnreachable(const Invocation& call, const ServerTarget& server, const ServerUnreachable& failure)
{
    return fail(call.json,
                Report::errorObject(
                    QStringLiteral("%1%2 cannot be reached: %3").arg(portPrefix(server), server.name, failure.why),
                    ExitStatus::PortFailed, whereOf(server)));
}

}  // namespace Cli
