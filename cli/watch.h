#pragma once

#include "arguments.h"
#include "outlets.h"
#include "port_access.h"
#include "serve_rendezvous.h"
#include "served_board_client.h"

#include <QList>

#include <functional>
#include <optional>

// orvessa watch: prints the outlets' state, then each change, until SIGINT or
// SIGTERM. Through orvessa serve's event stream when a server holds the port,
// else by reading the port every 5 s, taking the command turn for each read
// so that other orvessa commands can use the port between reads.
namespace Cli {

struct WatchSource {
    // A port on this machine; none for a server given by its URL.
    std::optional<PortAccess::Port> port;
    Driver::OutletNames names;  // this user's names, for a port here
    // The server that holds the port, when one does.
    std::function<std::optional<ServeRendezvous::Server>()> findServer;
    // A server given by its URL (--server), with its token.
    std::optional<ServedBoardClient::Address> remote;
};

// `outlets` as given (numbers or names); returns the exit status: 0 after
// SIGINT or SIGTERM, 2 for outlets or a token refused, 3 when neither the
// port nor the server can be used at the start.
int runWatch(const Invocation& call, const WatchSource& source);

}  // namespace Cli
