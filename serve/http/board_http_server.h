#pragma once

#include "access_rules.h"
#include "board_api.h"
#include "board_events.h"
#include "http_limits.h"
#include "idempotency_keys.h"
#include "reply.h"
#include "route.h"

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QHttpServerResponder>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class GuardedSocket;
class GuardedTcpServer;

// orvessa serve's HTTP layer: checks each request (host, token, path and
// method, origin, body), hands it to the board queue and answers when the
// queue has; no request changes the board before every check passed.
class BoardHttpServer final : public QAbstractHttpServer {
    Q_OBJECT
public:
    BoardHttpServer(ServedBoard board, AccessRules access, QObject* parent = nullptr);

    // Serves the connections of `server`, which listens already, and becomes
    // its parent.
    void serve(GuardedTcpServer* server);
    // Streams `events` to GET /api/events and tells them the requests that
    // switched outlets.
    void publish(Serve::BoardEvents& events);
    // Takes no more connections.
    void stopListening();
    // Closes every connection (their answers written), then calls `done`:
    // once all are closed, or after `ms`.
    void closeConnections(int ms, std::function<void()> done);

signals:
    // A state-changing request and its outcome, or a refused connection: one
    // line for the log.
    void logLine(const QString& line);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Exchange {
        QHttpServerResponder responder;
        QPointer<GuardedSocket> socket;
        quint64 ticket = 0;
        QElapsedTimer took;
        QString logText;      // "127.0.0.1:4242 PUT /outlet/3 1"; empty: not logged
        bool queued = false;  // handed to the board queue and not answered yet
        bool tokenChecked = false;
        Http::IdempotencyKeys::EntryPtr firstOfKey = nullptr;  // its Idempotency-Key's first request, to settle
        bool repeat = false;                                   // answered from the first request with its key
    };
    using ExchangePtr = std::shared_ptr<Exchange>;

    void check(const QHttpServerRequest& request, const ExchangePtr& exchange);
    // Requests with an Idempotency-Key: the key's first request goes on to
    // act; a repeat waits for the first's answer, or gets it at once. False
    // when `exchange` is answered or waits.
    bool firstOfItsKey(const QHttpServerRequest& request, const ExchangePtr& exchange);
    void act(const Http::Route& route, const QHttpServerRequest& request, const ExchangePtr& exchange);
    // Whether `exchange` may be handed to the queue: not when its connection,
    // or all of them together, have as many requests waiting as they may;
    // then it is answered 503 with a Retry-After.
    bool admitted(const ExchangePtr& exchange);
    void finish(const ExchangePtr& exchange, Http::Reply reply);
    // GET /api/events: the connection becomes a stream, unless there are as
    // many as there may be (503).
    void startStream(const ExchangePtr& exchange);

    ServedBoard board_;
    BoardApi api_;
    AccessRules access_;
    HttpLimits limits_;
    Http::IdempotencyKeys keys_;
    int queued_ = 0;  // requests of all connections handed to the queue and not answered yet
    QPointer<Serve::BoardEvents> events_;
    int streams_ = 0;
};
