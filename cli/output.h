#pragma once

#include <QJsonObject>
#include <QString>

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

// A bad command line: the message with a pointer to --help; status 2.
int usageError(bool json, const QString& message);

}  // namespace Cli
