#include "guarded_tcp_server.h"

#include "file_handles.h"
#include "guarded_socket.h"

namespace {

// How long accepting pauses when file handles run short: long enough not to
// spin, short enough that a client hardly notices.
constexpr int AcceptPauseMs = 200;
// Handles kept for the board's port, its lock file and the system's list of
// addresses that the access rules read; fewer free, connections are taken
// one per pause.
constexpr int SpareHandles = 8;
// QTcpServer's own default.
constexpr int MaxPendingConnections = 30;

}  // namespace

GuardedTcpServer::GuardedTcpServer(const HttpLimits& limits, QObject* parent) : QTcpServer(parent), limits_(limits)
{
    acceptTimer_.setSingleShot(true);
    acceptTimer_.setInterval(AcceptPauseMs);
    connect(&acceptTimer_, &QTimer::timeout, this, &GuardedTcpServer::acceptAgain);
    // QTcpServer stops accepting after an accept() error it does not take
    // for a passing one, such as running out of file handles, and never
    // starts again by itself.
    connect(this, &QTcpServer::acceptError, this, [this] { pauseForHandles(errorString()); });
}

void GuardedTcpServer::incomingConnection(qintptr descriptor)
{
    auto* socket = new GuardedSocket(limits_, this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    const QHostAddress address = socket->peerAddress();
    const QString peer = QStringLiteral("%1:%2").arg(address.toString()).arg(socket->peerPort());
    connect(socket, &GuardedSocket::refusedWith, this,
            [this, peer](int status, const QString& why) { emit refused(peer, status, why); });
    const auto refuse = [socket](const QString& why) {
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        socket->refuse(503, why);
    };
    if (connections_ >= limits_.maxConnections) {
        refuse(QStringLiteral("more than %1 connections are open").arg(limits_.maxConnections));
    } else if (perPeer_.value(address) >= limits_.maxConnectionsPerPeer) {
        // Slots are taken before any request is read: one client must not hold them all.
        refuse(QStringLiteral("more than %1 connections from %2 are open")
                   .arg(limits_.maxConnectionsPerPeer)
                   .arg(address.toString()));
    } else {
        ++connections_;
        ++perPeer_[address];
        connect(socket, &QObject::destroyed, this, [this, address] {
            --connections_;
            if (--perPeer_[address] <= 0)
                perPeer_.remove(address);
        });
        socket->startGuarding();
        // Takes the connection at once, through nextPendingConnection(),
        // which would also undo a pause made before.
        addPendingConnection(socket);
    }
    // Past the last handle, accept() fails, and QTcpServer takes that for a
    // passing error once it has met EAGAIN, which it always has: it would
    // call accept() again at once, for as long as no handle is free.
    const int spare = freeFileHandles();
    if (spare >= 0 && spare < SpareHandles)
        pauseForHandles(QStringLiteral("%1 file handles are free").arg(spare));
    else if (spare >= SpareHandles)
        short_ = false;
}

void GuardedTcpServer::pauseForHandles(const QString& why)
{
    if (!short_)
        emit acceptPaused(why);
    short_ = true;
    // No pending connection is allowed: QTcpServer's loop of accept() calls
    // ends before the next one.
    setMaxPendingConnections(0);
    pauseAccepting();
    acceptTimer_.start();
}

void GuardedTcpServer::acceptAgain()
{
    if (!isListening())
        return;
    if (freeFileHandles() == 0) {
        acceptTimer_.start();
        return;
    }
    setMaxPendingConnections(MaxPendingConnections);
    resumeAccepting();
}
