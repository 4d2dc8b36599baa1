#pragma once

#include "http_limits.h"

#include <QByteArray>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <map>

// One client's connection, watched before QtHttpServer reads it: the bytes of
// the request being received are counted as they arrive, so a request over
// the limit is answered 413 and the connection closed before it fills
// memory; a request that does not arrive whole in time is answered 408, an
// idle connection closed. After such an answer, what the client still sends
// is read and dropped for a moment before closing, so that its system does
// not throw the answer away on a reset. Answers, which the board queue gives
// in its own time, are written in the order of their requests.
class GuardedSocket final : public QTcpSocket {
    Q_OBJECT
public:
    GuardedSocket(const HttpLimits& limits, QObject* parent);

    // Starts watching for an idle connection and bounds the read buffer.
    void startGuarding();

    // The connection is being closed over a request it refused: requests
    // QtHttpServer still parses from it are not acted on.
    bool refused() const { return refused_; }

    // A whole request arrived: its bytes no longer count. Returns the place
    // of its answer.
    quint64 requestArrived();
    // Runs `write` (which writes the answer) once every earlier answer is
    // written.
    void answer(quint64 ticket, std::function<void()> write);
    // Answers with `status` and a JSON error naming `why`, then closes; when
    // answers are still due, closes at once instead.
    void refuse(int status, const QString& why);

    // Requests of this connection handed to the board queue and not answered yet.
    int queuedRequests() const { return queuedRequests_; }
    void requestQueued() { ++queuedRequests_; }
    void queuedRequestAnswered() { --queuedRequests_; }

signals:
    void refusedWith(int status, const QString& why);

private:
    void arrived();
    void dropArrived();
    void watchIdle();
    quint64 answersDue() const { return nextTicket_ - nextToWrite_; }

    HttpLimits limits_;
    qint64 requestBytes_ = 0;
    qint64 droppedBytes_ = 0;
    bool refused_ = false;
    QTimer requestTimer_;
    QTimer idleTimer_;
    QTimer lingerTimer_;
    quint64 nextTicket_ = 0;
    quint64 nextToWrite_ = 0;
    int queuedRequests_ = 0;
    std::map<quint64, std::function<void()>> ready_;
};
