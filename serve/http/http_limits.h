#pragma once

#include <QtGlobal>

// What one client may cost orvessa serve: QtHttpServer 6.4 sets no limit of
// its own.
struct HttpLimits {
    qint64 maxRequestBytes = 8192;  // request line, headers and body of one request together
    int maxConnections = 64;        // open at once; one more is answered 503 and closed
    int requestMs = 10000;          // a request begun must be whole within this
    int idleMs = 60000;             // a connection with nothing to read or answer is closed after this
};
