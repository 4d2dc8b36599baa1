#pragma once

#include "outlets.h"
#include "port_access.h"
#include "serve_options.h"

// orvessa serve: holds the port, serves the board over HTTP until SIGTERM or
// SIGINT, then answers what is pending, releases the port and returns 0.
// Refuses to start with 2 (a token file that cannot be used) or 3 (the port
// is held by another program or may not be opened, or the address cannot be
// listened on). A port whose device is not there yet is served anyway:
// requests fail 503 until it appears.
namespace Serve {

// `timeoutMs`: how long the board has for each reply, as orvessa --timeout.
int serve(const ServeOptions& options, int timeoutMs, const PortAccess::Port& port, const Driver::OutletNames& names);

}  // namespace Serve
