#pragma once

#include "server_exchange.h"

#include <QString>
#include <QStringList>

// One request to orvessa serve through its local socket (serve/local): no
// token, and the server is known by the kernel's word, not by an address.
// Needs a QCoreApplication.
namespace Driver {

struct LocalServerTarget {
    QString socket;       // the socket's path, from the server's address file
    qint64 pid = 0;       // the server's process, as its address file names it
    QStringList devices;  // the devices it must serve; empty: any
};

// Connects, checks that the process listening is the one the address file
// names and owns the socket, and that it serves one of `devices`; then sends
// `request` and waits up to `waitMs` for its answer. A connection refused, or
// a listener that is not the server, is Unreachable (nothing was sent); a
// socket this user may not open is NotAllowed; a connection that ends after
// the request was written is Lost.
ServerReply askLocalServer(const LocalServerTarget& server, const ServerRequest& request, int waitMs,
                           bool catchStopSignals);

}  // namespace Driver
