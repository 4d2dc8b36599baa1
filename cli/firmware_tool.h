#pragma once

#include <QString>

// The program `upgrade --exec` runs once the board is ready and the port is
// released, typically a firmware download tool.
namespace Cli::FirmwareTool {

// COMMAND with every "{device}" replaced by the device path; a path with
// characters the shell would read is put in single quotes.
QString commandLine(const QString& command, const QString& device);

struct Result {
    int exitStatus = 0;  // the tool's, when it ran to its end
    QString error;       // set when it could not be started or was killed
};

// Runs the command line with /bin/sh -c, sharing this program's standard
// input, output and error, and waits for it.
Result run(const QString& commandLine);

}  // namespace Cli::FirmwareTool
