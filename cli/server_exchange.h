#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

#include <optional>

// One request to orvessa serve over HTTP, through Qt Network, waited for in
// an event loop of its own. Needs a QCoreApplication.
namespace Cli {

// "http://HOST:PORT/" (or https, behind a proxy that adds TLS), a path
// before the server's own allowed; the URL returned ends in '/'. Nothing for
// anything else.
std::optional<QUrl> parseServerUrl(const QString& text);

struct ServerRequest {
    QByteArray method;  // "GET" or "POST"
    QString path;       // relative to the server's URL, e.g. "api/on"
    QUrlQuery query;    // e.g. outlets=3,5; empty for none
    QByteArray body;    // JSON; empty for none
};

struct ServerReply {
    enum class End {
        Answered,     // an HTTP answer, whatever its status
        Unreachable,  // no answer at all: refused, closed, no such host
        TimedOut,     // no whole answer within the time given
        Interrupted,  // SIGINT or SIGTERM came first, when caught
    };
    End end = End::Unreachable;
    int status = 0;  // Answered: the HTTP status
    QByteArray body;
    QString why;  // Unreachable: the reason; Interrupted: "SIGINT" or "SIGTERM"
};

// Sends `request` to the server at `server`, with `token` as a Bearer token
// unless it is empty, and waits up to `waitMs` for the whole answer. With
// `catchStopSignals`, SIGINT and SIGTERM end the wait instead of the program
// (the request is dropped; the server goes on with it). Redirects are not
// followed, so the token goes nowhere else.
ServerReply askServer(const QUrl& server, const QByteArray& token, const ServerRequest& request, int waitMs,
                      bool catchStopSignals);

}  // namespace Cli
