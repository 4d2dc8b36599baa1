#pragma once

#include <QtGlobal>

// What one client may cost orvessa serve: QtHttpServer 6.4 sets no limit of
// its own.
struct HttpLimits {
    qint64 maxRequestBytes = 8192;   // request line, headers and body of one request together
    int requestMs = 10000;           // a request begun must be whole within this
    int idleMs = 60000;              // a connection with nothing to read or answer is closed after this
    int maxConnections = 64;         // open at once; one more is answered 503 and closed
    int maxConnectionsPerPeer = 16;  // of those, from one address

    // Answers a client has not taken yet (written, or waiting for an earlier
    // one): past holdUnsentBytes its further requests stay unread until it
    // has taken half; past maxUnsentBytes, or when it takes none of them for
    // stuckMs, the connection is closed.
    qint64 holdUnsentBytes = 64 * 1024;
    qint64 maxUnsentBytes = 1024 * 1024;
    int stuckMs = 20000;

    int maxQueuedPerConnection = 16;  // requests of one connection waiting for the board; more are answered 503
    int maxQueued = 256;              // of all connections together
    int retryAfterSeconds = 1;        // what a 503 for too many waiting requests tells the client

    // Event streams (GET /api/events): open at once, more are answered 503;
    // a stream whose client lets more than streamUnsentBytes wait is
    // dropped; a comment every keepAliveMs.
    int maxStreams = 32;
    qint64 streamUnsentBytes = 256 * 1024;
    int keepAliveMs = 15000;
};
