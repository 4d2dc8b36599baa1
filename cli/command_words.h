#pragma once

#include <QString>
#include <QStringList>

#include <variant>

// upgrade --exec COMMAND as words for a program run without a shell.
namespace Cli {

// Splits `line` into words as a POSIX shell does, expanding nothing: blanks
// separate words; single quotes keep everything up to the next one; double
// quotes keep everything but a backslash before " \ $ or `, which keeps that
// character; a backslash outside quotes keeps the next character (a
// backslash-newline is dropped). No variables, globs, ~ or command
// substitution. Fails with a message on an unclosed quote, and on an unquoted
// | & ; < > ( ) ` or line break: those would need a shell.
std::variant<QStringList, QString> splitCommandWords(const QString& line);

}  // namespace Cli
