#pragma once

#include "http_limits.h"

#include <QByteArray>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <map>
#include <optional>

// One client's connection, watched before QtHttpServer reads it: the bytes of
// the request being received are counted as they arrive, so a request over
// the limit is answered 413 and the connection closed before it fills
// memory; a request that does not arrive whole in time is answered 408, an
// idle connection closed. After such an answer, what the client still sends
// is read and dropped for a moment before closing, so that its system does
// not throw the answer away on a reset. Answers, which the board queue gives
// in its own time, are written in the order of their requests; while more
// of them than holdUnsentBytes wait for the client to take them, its further
// requests are left unread.
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
    // of its answer; none when it was larger than the limit (answered 413).
    std::optional<quint64> requestArrived();
    // Runs `write` (which writes an answer of about `bytes`) once every
    // earlier answer is written.
    void answer(quint64 ticket, qint64 bytes, std::function<void()> write);
    // Called once a request is handled: past holdUnsentBytes, the requests
    // after it stay unread until the client has taken half of what waits.
    void holdIfBacklogged();
    // Answers with `status` and a JSON error naming `why`, then closes; when
    // answers are still due, closes at once instead.
    void refuse(int status, const QString& why);

    // The connection carries an event stream from now on: it is never idle,
    // and what its client still sends is read and dropped, never parsed.
    void becomeStream();
    bool streaming() const { return streaming_; }
    // Closes a stream whose client does not keep up, saying why (once).
    void dropStream(const QString& why) { closeUnread(why); }

    // Answers not yet handed to the system: written, and waiting for an earlier one.
    qint64 unsentBytes() const { return bytesToWrite() + waitingBytes_; }

    // Requests of this connection handed to the board queue and not answered yet.
    int queuedRequests() const { return queuedRequests_; }
    void requestQueued() { ++queuedRequests_; }
    void queuedRequestAnswered() { --queuedRequests_; }

signals:
    // Closed over a request it refused with `status`, or (status 0) because
    // its client does not take its answers.
    void refusedWith(int status, const QString& why);

private:
    // Marks the connection refused, stops its timers and says why; false when it was already.
    bool startRefusing(int status, const QString& why);
    struct Waiting {
        qint64 bytes = 0;
        std::function<void()> write;
    };

    void arrived();
    void dropArrived();
    void watchIdle();
    void unsentChanged(bool progress);
    void readAgain();
    void closeUnread(const QString& why);
    bool receiving() const { return requestBytes_ > 0 || (!wholeSinceArrival_ && parsable_ > 0); }
    quint64 answersDue() const { return nextTicket_ - nextToWrite_; }

    HttpLimits limits_;
    // The request being received: the bytes QtHttpServer has taken for it,
    // and those it was given to parse at the last readyRead, which belong to
    // it unless a whole request was parsed since (then the rest is still
    // unread).
    qint64 requestBytes_ = 0;
    qint64 parsable_ = 0;
    bool wholeSinceArrival_ = false;
    qint64 droppedBytes_ = 0;
    bool refused_ = false;
    bool streaming_ = false;
    bool holding_ = false;  // the requests that follow are kept unread in a transaction of ours
    QTimer requestTimer_;
    QTimer idleTimer_;
    QTimer lingerTimer_;
    QTimer stuckTimer_;
    quint64 nextTicket_ = 0;
    quint64 nextToWrite_ = 0;
    qint64 waitingBytes_ = 0;
    int queuedRequests_ = 0;
    std::map<quint64, Waiting> ready_;
};
