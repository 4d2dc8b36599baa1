#pragma once

#include "arguments.h"
#include "local_server_exchange.h"
#include "outlets.h"
#include "port_access.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <cstdint>
#include <functional>
#include <optional>
#include <variant>

// orvessa's verbs through orvessa serve: the verb as a request to the
// server's JSON API, and its answer printed as orvessa prints the verb's
// result when it opens the port itself, with the same exit status. The
// server's errors carry orvessa's own message and status.
namespace Cli {

struct ServerTarget {
    QUrl url;          // ending in '/'
    QByteArray token;  // empty: none given
    QString name;      // "orvessa serve (process 4242) at http://127.0.0.1:8321/"
    // A server found on this machine for the port the command names: that
    // port, and the outlets' names of this user's settings. The result is
    // then printed as if the command had opened that port. None for a server
    // given with --server, whose own port and names are printed.
    struct Local {
        PortAccess::Port port;
        Driver::OutletNames names;
    };
    std::optional<Local> local;
    // A server on this machine is reached through its local socket, with no token.
    std::optional<Driver::LocalServerTarget> socket;
    // After the connection was lost with the request sent: the state read
    // anew (through the server, or the port once it is free), or why not.
    struct StateRead {
        std::optional<std::uint16_t> word;
        QString why;
    };
    std::function<StateRead()> readAfterLoss;
};

// The server did not answer at all: refused or closed (a server stopping),
// or no such host.
struct ServerUnreachable {
    QString why;
};

// Runs the verb with `outlets` (numbers, or names the server resolves) through
// the server, prints the result and returns the exit status. A cycle catches
// SIGINT and SIGTERM: the server finishes the cycle by itself, and orvessa
// says so and exits 5.
std::variant<int, ServerUnreachable> runThroughServer(const Invocation& call, const ServerTarget& server,
                                                      const QStringList& outlets);

// Prints that the server cannot be reached; status 3.
int serverUnreachable(const Invocation& call, const ServerTarget& server, const ServerUnreachable& failure);

}  // namespace Cli
