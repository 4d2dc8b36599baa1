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
    if (refused_) {
        dropArrived();
        if (droppedBytes_ > 4 * limits_.maxRequestBytes)
            abort();
        return;
    }
    // QtHttpServer reads everything at each readyRead, after this: what is
    // available now has just arrived.
    if (requestBytes_ == 0)
        requestTimer_.start();
    requestBytes_ += bytesAvailable();
    idleTimer_.stop();
    if (requestBytes_ > limits_.maxRequestBytes)
        refuse(413, QStringLiteral("the request is larger than %1 bytes").arg(limits_.maxRequestBytes));
}

quint64 GuardedSocket::requestArrived()
{
    requestBytes_ = 0;
    requestTimer_.stop();
    idleTimer_.stop();
    return nextTicket_++;
}

void GuardedSocket::answer(quint64 ticket, std::function<void()> write)
{
    ready_.emplace(ticket, std::move(write));
    for (auto next = ready_.find(nextToWrite_); next != ready_.end(); next = ready_.find(nextToWrite_)) {
        const std::function<void()> writeNext = std::move(next->second);
        ready_.erase(next);
        ++nextToWrite_;
        if (state() == QAbstractSocket::ConnectedState && !refused_)
            writeNext();
    }
    watchIdle();
}

void GuardedSocket::refuse(int status, const QString& why)
{
    if (refused_)
        return;
    refused_ = true;
    requestTimer_.stop();
    idleTimer_.stop();
    emit refusedWith(status, why);
    if (answersDue() > 0 || state() != QAbstractSocket::ConnectedState) {
        abort();
        return;
    }
    const QByteArray body =
        QJsonDocument(Cli::Report::errorObject(why, ExitStatus::Usage)).toJson(QJsonDocument::Compact);
    write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) +
          "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
          "\r\nConnection: close\r\n\r\n" + body);
    dropArrived();
    lingerTimer_.start();
}

void GuardedSocket::dropArrived()
{
    // Read here, so that QtHttpServer gets none of it; outside the
    // transaction QtHttpServer keeps open, so that it is freed.
    if (isTransactionStarted())
        commitTransaction();
    droppedBytes_ += readAll().size();
}

void GuardedSocket::watchIdle()
{
    if (!refused_ && answersDue() == 0 && requestBytes_ == 0)
        idleTimer_.start();
}
