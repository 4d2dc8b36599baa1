#pragma once

#include <QStringList>

namespace Cli {

// orvessa from its arguments (the program first) to its exit status: reads
// the command line and the panel's settings, opens the port, runs the verb,
// releases the port and prints the result. Needs a QCoreApplication named as
// the panel (PanelSettings).
int run(const QStringList& args);

}  // namespace Cli
