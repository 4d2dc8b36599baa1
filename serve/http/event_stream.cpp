#include "event_stream.h"

#include "guarded_socket.h"

#include <utility>

EventStream::EventStream(GuardedSocket& socket, Serve::BoardEvents& events, const HttpLimits& limits)
    : QObject(&socket), socket_(socket), events_(&events), limits_(limits)
{
    keepAlive_.setInterval(limits_.keepAliveMs);
    connect(&keepAlive_, &QTimer::timeout, this, [this] { send(": keep-alive\n\n"); });
    connect(&socket_, &QAbstractSocket::disconnected, this, &EventStream::end);
    connect(&socket_, &GuardedSocket::refusedWith, this, &EventStream::end);
}

// Also when the socket goes without a disconnected(): the server stops.
EventStream::~EventStream() { end(); }

void EventStream::start()
{
    if (ended_ || !events_)
        return end();
    // No length: the body ends with the connection.
    socket_.write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
                  "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n");
    if (const std::optional<QJsonObject> state = events_->currentState())
        send(Serve::BoardEvents::sseText(QStringLiteral("state"), *state));
    connect(events_, &Serve::BoardEvents::published, this,
            [this](const QString& name, const QJsonObject& data) { send(Serve::BoardEvents::sseText(name, data)); });
    keepAlive_.start();
}

void EventStream::send(const QByteArray& bytes)
{
    if (ended_ || socket_.state() != QAbstractSocket::ConnectedState)
        return;
    if (socket_.unsentBytes() + bytes.size() > limits_.streamUnsentBytes)
        return socket_.dropStream(
            QStringLiteral("its event stream fell more than %1 bytes behind").arg(limits_.streamUnsentBytes));
    socket_.write(bytes);
}

void EventStream::end()
{
    if (std::exchange(ended_, true))
        return;
    keepAlive_.stop();
    if (events_)
        disconnect(events_, nullptr, this, nullptr);
    emit ended();
}
