#pragma once

#include <QtGlobal>

// What one client may cost orvessa serve: QtHttpServer 6.4 sets no limit of
// its own.
struct HttpLimits {
    qint64 maxRequestBytes = 8192;    // request line, headers and body of one request together
    int maxConnections = 64;          // open at once; one more is answered 503 and closed
    int maxConnectionsPerPeer = 16;   // of those, from one address
    int requestMs = 10000;            // a request begun must be whole within this
    int idleMs = 60000;               // a connection with nothing to read or answer is closed after this
    int maxQueuedPerConnection = 16;  // requests of one connection waiting for the board; more are answered 503
    int maxQueued = 256;              // of all connections together
    int retryAfterSeconds = 1;        // what a 503 for too many waiting requests tells the client
};
