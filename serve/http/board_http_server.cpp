#include "board_http_server.h"

#include "event_stream.h"
#include "guarded_socket.h"
#include "guarded_tcp_server.h"

#include <QHttpServerRequest>
#include <QTimer>

#include <algorithm>
#include <exception>
#include <utility>
#include <variant>

namespace {

Http::Method methodOf(QHttpServerRequest::Method method)
{
    switch (method) {
    case QHttpServerRequest::Method::Get:
        return Http::Method::Get;
    case QHttpServerRequest::Method::Put:
        return Http::Method::Put;
    case QHttpServerRequest::Method::Post:
        return Http::Method::Post;
    default:
        return Http::Method::Other;
    }
}

QString requestLine(const QHttpServerRequest& request, Http::Method method)
{
    const QString name = method == Http::Method::Put ? QStringLiteral("PUT") : QStringLiteral("POST");
    QString line = name + QLatin1Char(' ') + Http::loggable(request.url().path(QUrl::FullyEncoded).toLatin1());
    if (!request.body().isEmpty())
        line += QLatin1Char(' ') + Http::loggable(request.body().simplified());
    return line;
}

void writeReply(QHttpServerResponder& responder, const Http::Reply& reply)
{
    responder.writeStatusLine(QHttpServerResponder::StatusCode(reply.status));
    responder.writeHeader("Content-Type", reply.contentType);
    responder.writeHeader("Content-Length", QByteArray::number(reply.body.size()));
    responder.writeHeader("Cache-Control", "no-store");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : reply.headers)
        responder.writeHeader(name, value);
    responder.writeBody(reply.body);
}

// About what writeReply writes for `reply`.
qint64 sizeOnTheWire(const Http::Reply& reply)
{
    qint64 bytes = 160 + reply.contentType.size() + reply.body.size();
    for (const auto& [name, value] : reply.headers)
        bytes += name.size() + value.size() + 4;
    return bytes;
}

}  // namespace

BoardHttpServer::BoardHttpServer(ServedBoard board, AccessRules access, QObject* parent)
    : QAbstractHttpServer(parent), board_(board), api_(std::move(board)), access_(std::move(access))
{}

void BoardHttpServer::serve(GuardedTcpServer* server)
{
    connect(server, &GuardedTcpServer::refused, this, [this](const QString& peer, int status, const QString& why) {
        const QString reason = status == 0 ? why : QStringLiteral("%1 %2").arg(status).arg(why);
        emit logLine(QStringLiteral("%1: connection closed: %2").arg(peer, reason));
    });
    connect(server, &GuardedTcpServer::acceptPaused, this, [this](const QString& why) {
        emit logLine(QStringLiteral("not accepting connections for now: %1").arg(why));
    });
    limits_ = server->limits();
    bind(server);
}

void BoardHttpServer::publish(Serve::BoardEvents& events)
{
    events_ = &events;
    connect(&api_, &BoardApi::switched, &events, &Serve::BoardEvents::switched);
}

void BoardHttpServer::stopListening()
{
    for (QTcpServer* server : servers())
        server->close();
}

void BoardHttpServer::closeConnections(int ms, std::function<void()> done)
{
    QList<QPointer<GuardedSocket>> open;
    for (QTcpServer* server : servers())
        for (GuardedSocket* socket : server->findChildren<GuardedSocket*>()) {
            socket->disconnectFromHost();
            open << socket;
        }
    auto* wait = new QTimer(this);
    QElapsedTimer waited;
    waited.start();
    connect(wait, &QTimer::timeout, this, [wait, open, waited, ms, done = std::move(done)] {
        const bool closed = std::all_of(open.cbegin(), open.cend(), [](const QPointer<GuardedSocket>& socket) {
            return !socket || socket->state() == QAbstractSocket::UnconnectedState;
        });
        if (!closed && !waited.hasExpired(ms))
            return;
        wait->deleteLater();
        wait->stop();
        done();
    });
    wait->start(20);
}

bool BoardHttpServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* tcp)
{
    auto* socket = qobject_cast<GuardedSocket*>(tcp);
    if (!socket || socket->refused())
        return true;
    const std::optional<quint64> ticket = socket->requestArrived();
    if (!ticket)
        return true;
    auto exchange = std::make_shared<Exchange>(Exchange{makeResponder(request, tcp), socket, *ticket, {}, {}});
    exchange->took.start();
    const Http::Method method = methodOf(request.method());
    if (Http::changesState(method))
        exchange->logText = QStringLiteral("%1:%2 %3")
                                .arg(socket->peerAddress().toString())
                                .arg(socket->peerPort())
                                .arg(requestLine(request, method));
    try {
        check(request, exchange);
    } catch (const std::exception& failure) {
        finish(exchange, Http::error(500, QStringLiteral("the server failed: %1").arg(failure.what())));
    }
    if (exchange->socket)
        exchange->socket->holdIfBacklogged();
    return true;
}

void BoardHttpServer::missingHandler(const QHttpServerRequest&, QTcpSocket*)
{
    // handleRequest answers every request. QtHttpServer 6.4 calls this too
    // after handleRequest for a request with Connection: Upgrade, which it
    // then closes: writing here would be a second answer.
}

void BoardHttpServer::check(const QHttpServerRequest& request, const ExchangePtr& exchange)
{
    if (!request.value("Upgrade").isEmpty())
        return finish(exchange, Http::error(400, QStringLiteral("this server does not upgrade connections: send the "
                                                                "request without an Upgrade header")));
    const QByteArray host = request.value("Host");
    if (!access_.hostAllowed(host))
        return finish(exchange,
                      Http::error(403, QStringLiteral("this server does not answer to the name '%1': reach it by "
                                                      "its address or host name, or start it with --allow-host")
                                           .arg(Http::loggable(host))));
    const Http::Method method = methodOf(request.method());
    const QString path = request.url().path();
    const auto routed = Http::route(method, path);
    const auto* found = std::get_if<Http::Route>(&routed);
    const bool forPage = found && found->action == Http::Action::Page;
    if (!forPage && access_.needsToken()) {
        const QByteArray given = request.value("Authorization");
        if (!access_.tokenAccepted(given)) {
            Http::Reply reply = Http::error(
                401, given.isEmpty() ? QStringLiteral("this server needs its token: give it as the password of HTTP "
                                                      "Basic authentication or as a Bearer token")
                                     : QStringLiteral("the token given is not this server's"));
            // A Basic challenge makes a browser ask for a user and password
            // itself; the page's own requests (X-Requested-With) get a Bearer
            // one, which no browser answers, and the page asks for the token.
            // labgrid and curl send their credentials without a challenge.
            const QByteArray challenge = request.value("X-Requested-With").isEmpty()
                                             ? "Basic realm=\"orvessa serve\", charset=\"UTF-8\""
                                             : "Bearer realm=\"orvessa serve\"";
            reply.headers << qMakePair(QByteArray("WWW-Authenticate"), challenge);
            return finish(exchange, reply);
        }
        exchange->tokenChecked = true;
    }
    if (const auto* refused = std::get_if<Http::RouteError>(&routed)) {
        Http::Reply reply = Http::error(refused->status, refused->message);
        if (!refused->allow.isEmpty())
            reply.headers << qMakePair(QByteArray("Allow"), refused->allow);
        return finish(exchange, reply);
    }
    const QByteArray origin = request.value("Origin");
    // The events tell the state as a status does, but a stream from another
    // page's script would follow the board unseen.
    const bool events = std::get<Http::Route>(routed).action == Http::Action::Events;
    if ((Http::changesState(method) || events) && !AccessRules::originAllowed(origin, host))
        return finish(exchange, Http::error(403, QStringLiteral("a page from %1 may not %2: only this server's own "
                                                                "page may")
                                                     .arg(Http::loggable(origin),
                                                          events ? QStringLiteral("follow the board's events")
                                                                 : QStringLiteral("change the outlets"))));
    if (Http::changesState(method) && !firstOfItsKey(request, exchange))
        return;
    act(std::get<Http::Route>(routed), request, exchange);
}

bool BoardHttpServer::firstOfItsKey(const QHttpServerRequest& request, const ExchangePtr& exchange)
{
    const auto key = Http::idempotencyKey(request.headers());
    if (const auto* refused = std::get_if<QString>(&key)) {
        finish(exchange, Http::error(400, *refused));
        return false;
    }
    const QByteArray& given = std::get<QByteArray>(key);
    if (given.isEmpty())
        return true;
    const auto answerRepeat = [server = QPointer<BoardHttpServer>(this), exchange](const Http::Reply& reply) {
        exchange->repeat = true;
        if (server)
            server->finish(exchange, reply);
    };
    // A repeat waiting for the first's answer counts as a request waiting for
    // the board, so that repeats are bounded as other requests are.
    auto first = keys_.arrived(given, answerRepeat, [this, exchange] { return admitted(exchange); });
    if (!first)
        return false;
    exchange->firstOfKey = std::move(*first);
    return true;
}

void BoardHttpServer::act(const Http::Route& route, const QHttpServerRequest& request, const ExchangePtr& exchange)
{
    if (route.action == Http::Action::Page)
        return finish(exchange, Http::page(*Http::pageFile(request.url().path())));
    if (route.action == Http::Action::Events)
        return startStream(exchange);
    // Who asked, for the events: only requests that switch are told.
    const Http::Method method = methodOf(request.method());
    QString by;
    if (exchange->socket && Http::changesState(method))
        by = QStringLiteral("%1 %2 from %3:%4%5")
                 .arg(QString::fromLatin1(method == Http::Method::Put ? "PUT" : "POST"),
                      Http::loggable(request.url().path(QUrl::FullyEncoded).toLatin1()),
                      exchange->socket->peerAddress().toString())
                 .arg(exchange->socket->peerPort())
                 .arg(exchange->tokenChecked ? QStringLiteral(" (token)") : QString());
    api_.handle(
        route, request.body(), request.url().query(),
        [server = QPointer<BoardHttpServer>(this), exchange](Http::Reply reply) {
            if (server)
                server->finish(exchange, std::move(reply));
        },
        [this, exchange] { return admitted(exchange); }, by);
}

void BoardHttpServer::startStream(const ExchangePtr& exchange)
{
    GuardedSocket* socket = exchange->socket;
    if (!events_)
        return finish(exchange, Http::error(404, QStringLiteral("this server has no events")));
    if (!socket)
        return;
    if (streams_ >= limits_.maxStreams) {
        Http::Reply reply = Http::error(503, QStringLiteral("%1 event streams are open already; try again later, "
                                                            "or ask /api/status")
                                                 .arg(streams_));
        reply.headers << qMakePair(QByteArray("Retry-After"), QByteArray::number(limits_.retryAfterSeconds));
        return finish(exchange, reply);
    }
    // Counted from now: a stream is no request waiting for the board.
    ++streams_;
    socket->becomeStream();
    auto* stream = new EventStream(*socket, *events_, limits_);  // a child of its socket
    const QString peer = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
    emit logLine(QStringLiteral("%1 GET /api/events: event stream open (%2 open)").arg(peer).arg(streams_));
    connect(stream, &EventStream::ended, this, [this, peer] {
        --streams_;
        emit logLine(QStringLiteral("%1 GET /api/events: event stream ended").arg(peer));
    });
    // After the answers to the connection's earlier requests.
    socket->answer(exchange->ticket, 0, [stream = QPointer<EventStream>(stream)] {
        if (stream)
            stream->start();
    });
}

bool BoardHttpServer::admitted(const ExchangePtr& exchange)
{
    GuardedSocket* socket = exchange->socket;
    if (!socket) {
        // Nobody to answer; the request was not done, so its key is not kept.
        if (const auto first = std::exchange(exchange->firstOfKey, {}))
            keys_.settle(first, Http::error(503, QStringLiteral("the connection closed")), false);
        return false;
    }
    // A client that pipelines, or many clients, would otherwise fill the
    // queue with requests it holds in memory, however slow the board.
    const bool connectionFull = socket->queuedRequests() >= limits_.maxQueuedPerConnection;
    if (connectionFull || queued_ >= limits_.maxQueued) {
        const QString why = connectionFull ? QStringLiteral("%1 requests of this connection wait for the board "
                                                            "already; wait for their answers")
                                                 .arg(socket->queuedRequests())
                                           : QStringLiteral("%1 requests wait for the board already; try again "
                                                            "later")
                                                 .arg(queued_);
        Http::Reply reply = Http::error(503, Driver::Report::errorObject(board_.portLabel + QStringLiteral(": ") + why,
                                                                         ExitStatus::BoardFailed, board_.where()));
        reply.headers << qMakePair(QByteArray("Retry-After"), QByteArray::number(limits_.retryAfterSeconds));
        finish(exchange, reply);
        return false;
    }
    exchange->queued = true;
    ++queued_;
    socket->requestQueued();
    return true;
}

void BoardHttpServer::finish(const ExchangePtr& exchange, Http::Reply reply)
{
    if (const auto first = std::exchange(exchange->firstOfKey, {}))
        keys_.settle(first, reply, exchange->queued);
    if (exchange->queued) {
        exchange->queued = false;
        --queued_;
        if (exchange->socket)
            exchange->socket->queuedRequestAnswered();
    }
    if (!exchange->logText.isEmpty())
        emit logLine(QStringLiteral("%1: %2 %3 (%4 ms)%5")
                         .arg(exchange->logText)
                         .arg(reply.status)
                         .arg(reply.outcome)
                         .arg(exchange->took.elapsed())
                         .arg(exchange->repeat ? QStringLiteral(", answered from the first request with its "
                                                                "Idempotency-Key")
                                               : QString()));
    if (!exchange->socket)
        return;
    const qint64 bytes = sizeOnTheWire(reply);
    exchange->socket->answer(exchange->ticket, bytes,
                             [exchange, reply = std::move(reply)] { writeReply(exchange->responder, reply); });
}
