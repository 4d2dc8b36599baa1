#pragma once

#include "outlets.h"
#include "report.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <cstdint>

// Where orvessa's words go: results on standard output, messages on standard
// error, each written at once.
namespace Cli {

void printResult(const QString& text);
// "orvessa: " and the message, on a line of its own.
void printMessage(const QString& text);

// A failure: the message on standard error, and with --json the same as a
// JSON object on standard output, where the caller's program reads; the
// object's exit status.
int fail(bool json, const QJsonObject& object);

// A verb done, with the state read last: the outlets' lines, or after a
// reset that the board on `portLabel` answers again; with --json the state as
// an object. Status 0.
int printDone(bool json, bool reset, const QString& portLabel, const Driver::Report::Where& where, std::uint16_t word,
              const QList<int>& outlets, const Driver::OutletNames& names);

// A bad command line: the message with a pointer to --help; status 2.
int usageError(bool json, const QString& message);

}  // namespace Cli
