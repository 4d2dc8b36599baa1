#pragma once

#include "access_rules.h"
#include "board_queue.h"
#include "http_limits.h"
#include "outlets.h"
#include "reply.h"
#include "report.h"
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

// The board orvessa serve serves: its queue, and how messages name its port.
struct ServedBoard {
    Serve::BoardQueue& queue;
    Cli::OutletNames names;
    QString portLabel;                          // "COM3 (/dev/serial/by-id/...)", as orvessa's messages begin
    std::function<Cli::Report::Where()> where;  // the port as named and the device behind it now
    std::function<bool()> portClosed;           // the last opening of the port failed
};

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
    };
    using ExchangePtr = std::shared_ptr<Exchange>;

    void check(const QHttpServerRequest& request, const ExchangePtr& exchange);
    void act(const Http::Route& route, const QHttpServerRequest& request, const ExchangePtr& exchange);
    void actOnOutlets(Http::Action action, const QByteArray& body, const ExchangePtr& exchange);
    // The outlets given (numbers or names) as numbers; nothing once `exchange`
    // is answered 400 with why not.
    std::optional<QList<int>> outletsOf(const QStringList& given, const ExchangePtr& exchange);
    // The queue's answer for `exchange`, through `toReply` when it succeeded.
    Serve::Done whenDone(const ExchangePtr& exchange, std::function<Http::Reply(const Serve::Result&)> toReply,
                         bool cycle = false);
    // Whether `exchange` may be handed to the queue: not when its connection,
    // or all of them together, have as many requests waiting as they may;
    // then it is answered 503 with a Retry-After.
    bool admitted(const ExchangePtr& exchange);
    Http::Reply failed(const Serve::Result& result, bool cycle) const;
    QJsonObject stateObject(const Serve::Result& result) const;
    // "answering" and "last_answer": whether the board answered its last query, and when it last did.
    void addAnswering(QJsonObject& object) const;
    void finish(const ExchangePtr& exchange, Http::Reply reply);

    ServedBoard board_;
    AccessRules access_;
    HttpLimits limits_;
    int queued_ = 0;  // requests of all connections handed to the queue and not answered yet
};
