#pragma once

#include "arguments.h"
#include "outlets.h"
#include "port_access.h"

#include <QStringList>

#include <functional>

namespace Cli {

// orvessa serve, given the command line, the port resolved and the outlets'
// names; returns the exit status.
using Server =
    std::function<int(const Serve::ServeOptions&, int timeoutMs, const PortAccess::Port&, const Driver::OutletNames&)>;

// orvessa from its arguments (the program first) to its exit status: reads
// the command line and the panel's settings, opens the port, runs the verb,
// releases the port and prints the result. Needs a QCoreApplication named as
// the panel (PanelSettings). `serve` runs the verb serve.
int run(const QStringList& args, const Server& serve = {});

}  // namespace Cli
