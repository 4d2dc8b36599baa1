#pragma once

#include "server_exchange.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The checks a client of orvessa serve's local socket makes before it sends
// anything: that the process at the other end is the server its address file
// names, and that its hello says it serves the device asked for. Shared by the
// blocking exchange of one request and the asynchronous client.
namespace Driver {

// Why the peer on the connected socket `descriptor` is not the server with
// process `pid` that owns the socket file `socketPath`; empty when it is.
QString notTheServer(qintptr descriptor, const QString& socketPath, qint64 pid);

// Why `hello` is not the hello of the server with process `pid` serving one
// of `devices` (any when empty); empty when it is.
QString helloRefusal(const QJsonObject& hello, qint64 pid, const QStringList& devices);

// `request` as one line of the local socket's protocol, '\n' ended.
QByteArray requestLine(const ServerRequest& request);

}  // namespace Driver
