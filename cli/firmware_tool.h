#pragma once

#include <QJsonObject>

#include <QString>
#include <QStringList>

// The program `upgrade --exec` runs once the board is ready and the port is
// released, typically a firmware download tool. No shell is involved.
namespace Cli::FirmwareTool {

// The tool's words with every "{device}" replaced by the device path: each
// word stays one argument, whatever the path holds.
QStringList arguments(const QStringList& words, const QString& device);

// Where the tool's standard output goes: this program's standard output, or
// its standard error (with --json, whose standard output is one object).
enum class Output { Shared, ToStandardError };

struct Result {
    enum class End { Exited, Killed, NotStarted };
    End end = End::Exited;
    int code = 0;   // the exit status, or the signal that killed it
    QString error;  // why it did not start
    bool succeeded() const { return end == End::Exited && code == 0; }
};

// Runs the program argv[0] (searched for in PATH when it holds no '/', as
// execvp does) with the other words as its arguments, sharing this
// program's standard input and error, and waits for it.
Result run(const QStringList& argv, Output output);

// How it ended, for a message: "'avrdude' exited with status 1", "'avrdude'
// was killed by signal 9 (SIGKILL)", "cannot start 'avrdude': ...".
QString describe(const QStringList& argv, const Result& result);

}  // namespace Cli::FirmwareTool

namespace Cli {

// {"command": [words...]} and how the firmware tool ended: "exit_status",
// "signal" (killed by it) or "error" (it did not start).
QJsonObject toolObject(const QStringList& argv, const FirmwareTool::Result& result);

}  // namespace Cli
