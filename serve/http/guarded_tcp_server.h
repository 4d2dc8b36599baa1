#pragma once

#include "http_limits.h"

#include <QHash>
#include <QHostAddress>
#include <QTcpServer>
#include <QTimer>

// The listening socket orvessa serve binds QtHttpServer to: each connection
// is a GuardedSocket, watched from its first byte, and one beyond
// maxConnections, or beyond maxConnectionsPerPeer from one address, is
// answered 503 and closed without reaching QtHttpServer. When the process
// runs short of file handles, it accepts one connection at a time with a
// pause between, and none while no handle is free, rather than failing
// accept() over and over or not at all any more.
class GuardedTcpServer final : public QTcpServer {
    Q_OBJECT
public:
    explicit GuardedTcpServer(const HttpLimits& limits, QObject* parent = nullptr);

    int connections() const { return connections_; }
    const HttpLimits& limits() const { return limits_; }

signals:
    // A connection closed over a request it refused (413, 408), because
    // there were too many, or (status 0) because its client does not take
    // its answers.
    void refused(const QString& peer, int status, const QString& why);
    // Accepting pauses for lack of file handles (once until there are enough again).
    void acceptPaused(const QString& why);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void pauseForHandles(const QString& why);
    void acceptAgain();

    HttpLimits limits_;
    int connections_ = 0;
    QHash<QHostAddress, int> perPeer_;
    QTimer acceptTimer_;
    bool short_ = false;  // short of file handles: paused, or accepting one at a time
};
