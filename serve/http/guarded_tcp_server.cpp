#include "guarded_tcp_server.h"

#include "guarded_socket.h"

GuardedTcpServer::GuardedTcpServer(const HttpLimits& limits, QObject* parent) : QTcpServer(parent), limits_(limits) {}

void GuardedTcpServer::incomingConnection(qintptr descriptor)
{
    auto* socket = new GuardedSocket(limits_, this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    const QString peer = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
    connect(socket, &GuardedSocket::refusedWith, this,
            [this, peer](int status, const QString& why) { emit refused(peer, status, why); });
    if (connections_ >= limits_.maxConnections) {
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        socket->refuse(503, QStringLiteral("more than %1 connections are open").arg(limits_.maxConnections));
        return;
    }
    ++connections_;
    connect(socket, &QObject::destroyed, this, [this] { --connections_; });
    socket->startGuarding();
    addPendingConnection(socket);
}
