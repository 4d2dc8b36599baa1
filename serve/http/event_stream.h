#pragma once

#include "board_events.h"
#include "http_limits.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QTimer>

class GuardedSocket;

// GET /api/events on one connection, once its answers to earlier requests
// are written: the head, the state as last read, then each event of the
// board as Server-Sent Events, and a comment line every keepAliveMs so that
// proxies and clients see the connection alive. A client that lets more
// than streamUnsentBytes wait unsent is dropped: what the server holds for a
// stream stays bounded however slowly its client reads. A child of its
// socket.
class EventStream final : public QObject {
    Q_OBJECT
public:
    EventStream(GuardedSocket& socket, Serve::BoardEvents& events, const HttpLimits& limits);
    ~EventStream() override;

    // Writes the head and the current state, and follows the events from now on.
    void start();

signals:
    // The connection ended or was dropped (once).
    void ended();

private:
    void send(const QByteArray& bytes);
    void end();

    GuardedSocket& socket_;
    QPointer<Serve::BoardEvents> events_;
    HttpLimits limits_;
    QTimer keepAlive_;
    bool ended_ = false;
};
