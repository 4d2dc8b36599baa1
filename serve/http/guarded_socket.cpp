#include "guarded_socket.h"

#include "exit_status.h"
#include "report.h"

#include <QJsonDocument>

#include <exception>

namespace {

// How long a refused client's further bytes are read and dropped before the
// connection is closed.
constexpr int LingerMs = 1000;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 408:
        return "Request Timeout";
    case 413:
        return "Payload Too Large";
    case 503:
        return "Service Unavailable";
    default:
        return "Bad Request";
    }
}

}  // namespace

GuardedSocket::GuardedSocket(const HttpLimits& limits, QObject* parent) : QTcpSocket(parent), limits_(limits)
{
    // Connected first, so that the count is taken before QtHttpServer reads.
    connect(this, &QTcpSocket::readyRead, this, &GuardedSocket::arrived);
    connect(this, &QIODevice::bytesWritten, this, [this] { unsentChanged(true); });
    requestTimer_.setSingleShot(true);
    requestTimer_.setInterval(limits_.requestMs);
    connect(&requestTimer_, &QTimer::timeout, this, [this] {
        refuse(408, QStringLiteral("the request did not arrive whole within %1 ms").arg(limits_.requestMs));
    });
    idleTimer_.setSingleShot(true);
    idleTimer_.setInterval(limits_.idleMs);
    connect(&idleTimer_, &QTimer::timeout, this, [this] {
        refused_ = true;
        disconnectFromHost();
    });
    lingerTimer_.setSingleShot(true);
    lingerTimer_.setInterval(LingerMs);
    connect(&lingerTimer_, &QTimer::timeout, this, [this] {
        disconnectFromHost();
        // A client that does not take its answer is not waited for.
        QTimer::singleShot(limits_.requestMs, this, [this] { abort(); });
    });
    stuckTimer_.setSingleShot(true);
    stuckTimer_.setInterval(limits_.stuckMs);
    connect(&stuckTimer_, &QTimer::timeout, this, [this] {
        // Also after an idle close, which waits for the answers to be taken.
        if (refused_)
            return abort();
        closeUnread(QStringLiteral("its client took none of %1 bytes of answers within %2 ms")
                        .arg(unsentBytes())
                        .arg(limits_.stuckMs));
    });
}

void GuardedSocket::startGuarding()
{
    // The read buffer holds what QtHttpServer has not parsed yet: bounded, a
    // client that sends on regardless is held back by TCP.
    setReadBufferSize(2 * limits_.maxRequestBytes);
    watchIdle();
}

void GuardedSocket::arrived()
{
    if (refused_ || streaming_) {
        dropArrived();
        if (droppedBytes_ > 4 * limits_.maxRequestBytes)
            abort();
        return;
    }
    if (holding_) {
        // Read inside our transaction: kept for later, and QtHttpServer,
        // which parses after this, finds nothing.
        skip(bytesAvailable());
        return;
    }
    // QtHttpServer parses one request at each readyRead, taking all there is
    // unless the request ends before; what it takes without a whole request
    // is part of the one being received.
    if (!wholeSinceArrival_)
        requestBytes_ += parsable_;
    wholeSinceArrival_ = false;
    parsable_ = bytesAvailable();
    if (parsable_ > 0 && !requestTimer_.isActive())
        requestTimer_.start();
    idleTimer_.stop();
    if (requestBytes_ > limits_.maxRequestBytes)
        refuse(413, QStringLiteral("the request is larger than %1 bytes").arg(limits_.maxRequestBytes));
}

std::optional<quint64> GuardedSocket::requestArrived()
{
    // Pipelined requests after this one stay in the buffer, not yet parsed.
    const qint64 left = bytesAvailable();
    const qint64 bytes = requestBytes_ + parsable_ - left;
    requestBytes_ = 0;
    parsable_ = left;
    wholeSinceArrival_ = true;
    requestTimer_.stop();
    idleTimer_.stop();
    if (bytes > limits_.maxRequestBytes) {
        refuse(413, QStringLiteral("the request is larger than %1 bytes").arg(limits_.maxRequestBytes));
        return std::nullopt;
    }
    return nextTicket_++;
}

void GuardedSocket::answer(quint64 ticket, qint64 bytes, std::function<void()> write)
{
    ready_.emplace(ticket, Waiting{bytes, std::move(write)});
    waitingBytes_ += bytes;
    for (auto next = ready_.find(nextToWrite_); next != ready_.end(); next = ready_.find(nextToWrite_)) {
        const Waiting writeNext = std::move(next->second);
        ready_.erase(next);
        ++nextToWrite_;
        waitingBytes_ -= writeNext.bytes;
        if (state() == QAbstractSocket::ConnectedState && !refused_)
            writeNext.write();
    }
    watchIdle();
    unsentChanged(false);
}

void GuardedSocket::becomeStream()
{
    streaming_ = true;
    requestTimer_.stop();
    idleTimer_.stop();
    // Requests still in the buffer are dropped, and a hold, which keeps
    // them for later, would never end: nothing is parsed here any more.
    if (bytesAvailable() > 0 || isTransactionStarted())
        QMetaObject::invokeMethod(this, &GuardedSocket::dropArrived, Qt::QueuedConnection);
}

void GuardedSocket::holdIfBacklogged()
{
    // QtHttpServer has committed its transaction before handing over a
    // request (but for an upgrade, which is refused and closed anyway).
    if (holding_ || refused_ || streaming_ || unsentBytes() <= limits_.holdUnsentBytes || isTransactionStarted())
        return;
    // The requests already here are read inside a transaction, so that
    // QtHttpServer finds none; the buffer stays full, so Qt reads no more
    // from the system and TCP holds the client back.
    holding_ = true;
    requestTimer_.stop();
    startTransaction();
    skip(bytesAvailable());
}

void GuardedSocket::unsentChanged(bool progress)
{
    const qint64 unsent = unsentBytes();
    if (unsent > limits_.maxUnsentBytes)
        return closeUnread(
            QStringLiteral("more than %1 bytes of answers wait for its client").arg(limits_.maxUnsentBytes));
    // Also below holdUnsentBytes.
    if (unsent == 0)
        stuckTimer_.stop();
    else if (progress || !stuckTimer_.isActive())
        stuckTimer_.start();
    if (holding_ && unsent <= limits_.holdUnsentBytes / 2)
        readAgain();
}

void GuardedSocket::readAgain()
{
    holding_ = false;
    if (!isTransactionStarted())
        return;
    rollbackTransaction();
    // QtHttpServer parses at readyRead only.
    if (bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &QIODevice::readyRead, Qt::QueuedConnection);
}

bool GuardedSocket::startRefusing(int status, const QString& why)
{
    if (refused_)
        return false;
    refused_ = true;
    requestTimer_.stop();
    idleTimer_.stop();
    stuckTimer_.stop();
    emit refusedWith(status, why);
    return true;
}

void GuardedSocket::closeUnread(const QString& why)
{
    if (!startRefusing(0, why))
        return;
    // Not from inside a signal of this socket's own.
    QMetaObject::invokeMethod(this, &QAbstractSocket::abort, Qt::QueuedConnection);
}

void GuardedSocket::refuse(int status, const QString& why)
{
    if (!startRefusing(status, why))
        return;
    if (answersDue() > 0 || state() != QAbstractSocket::ConnectedState) {
        abort();
        return;
    }
    const QByteArray body =
        QJsonDocument(Driver::Report::errorObject(why, ExitStatus::Usage)).toJson(QJsonDocument::Compact);
    write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) +
          "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
          "\r\nConnection: close\r\n\r\n" + body);
    dropArrived();
    lingerTimer_.start();
}

void GuardedSocket::dropArrived()
{
    // Read here, so that QtHttpServer gets none of it; outside the
    // transaction QtHttpServer (or holding) keeps open, so that it is freed.
    if (isTransactionStarted())
        commitTransaction();
    holding_ = false;
    droppedBytes_ += readAll().size();
}

void GuardedSocket::watchIdle()
{
    if (!refused_ && !streaming_ && answersDue() == 0 && !receiving())
        idleTimer_.start();
}
