#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

#include <memory>
#include <optional>

class QEventLoop;
class QNetworkRequest;

// One request to orvessa serve over HTTP, through Qt Network, waited for in
// an event loop of its own. Needs a QCoreApplication.
namespace Driver {

// "http://HOST:PORT/" (or https, behind a proxy that adds TLS), a path
// before the server's own allowed; the URL returned ends in '/'. Nothing for
// anything else.
std::optional<QUrl> parseServerUrl(const QString& text);

// Whether `url` names this machine: such a server is never reached through a proxy.
bool isLoopback(const QUrl& url);

struct ServerRequest {
    QByteArray method;  // "GET" or "POST"
    QString path;       // relative to the server's URL, e.g. "api/on"
    QUrlQuery query;    // e.g. outlets=3,5; empty for none
    QByteArray body;    // JSON; empty for none
};

// `request` as Qt's network client sends it to the server at `server`: the
// token (when any) goes to that server only, and redirects, which could take
// it elsewhere, are not followed. A PUT or POST gets a fresh Idempotency-Key:
// Qt's client sends a request again when its connection closed before any
// answer, and orvessa serve does the requests with one key once, so a resend
// never switches twice.
QNetworkRequest serverRequest(const QUrl& server, const QByteArray& token, const ServerRequest& request);

struct ServerReply {
    enum class End {
        Answered,     // an HTTP answer, whatever its status
        Unreachable,  // no answer at all, nothing sent: refused, no such host, not the server
        NotAllowed,   // this user may not use the server's local socket
        Lost,         // the connection ended after the request was sent: its outcome is unknown
        TimedOut,     // no whole answer within the time given
        Interrupted,  // SIGINT or SIGTERM came first, when caught
    };
    End end = End::Unreachable;
    int status = 0;  // Answered: the HTTP status
    QByteArray body;
    QString why;  // Unreachable, NotAllowed, Lost: the reason; Interrupted: "SIGINT" or "SIGTERM"
};

// Waits in an event loop of its own until quit(), a deadline, or (when asked
// to catch them) SIGINT or SIGTERM, which then end the wait instead of the
// program.
class ReplyWait {
public:
    explicit ReplyWait(bool catchStopSignals);
    ~ReplyWait();
    ReplyWait(const ReplyWait&) = delete;
    ReplyWait& operator=(const ReplyWait&) = delete;

    // The loop to quit when the answer is complete.
    QEventLoop& loop();
    void run(int waitMs);
    bool timedOut() const;
    QString signal() const;  // "SIGINT" or "SIGTERM" when one ended the wait
    // When a signal or the deadline ended the wait: `reply` says so
    // (Interrupted, TimedOut), and true.
    bool endedEarly(ServerReply& reply) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Sends `request` to the server at `server`, with `token` as a Bearer token
// unless it is empty, and waits up to `waitMs` for the whole answer. With
// `catchStopSignals`, SIGINT and SIGTERM end the wait instead of the program
// (the request is dropped; the server goes on with it). Redirects are not
// followed, so the token goes nowhere else.
ServerReply askServer(const QUrl& server, const QByteArray& token, const ServerRequest& request, int waitMs,
                      bool catchStopSignals);

}  // namespace Driver
