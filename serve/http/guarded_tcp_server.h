#pragma once

#include "http_limits.h"

#include <QTcpServer>

// The listening socket orvessa serve binds QtHttpServer to: each connection
// is a GuardedSocket, watched from its first byte, and one beyond
// maxConnections is answered 503 and closed without reaching QtHttpServer.
class GuardedTcpServer final : public QTcpServer {
    Q_OBJECT
public:
    explicit GuardedTcpServer(const HttpLimits& limits, QObject* parent = nullptr);

    int connections() const { return connections_; }
    const HttpLimits& limits() const { return limits_; }

signals:
    // A connection closed over a request it refused (413, 408) or because
    // there were too many.
    void refused(const QString& peer, int status, const QString& why);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    HttpLimits limits_;
    int connections_ = 0;
};
