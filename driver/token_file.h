#pragma once

#include <QByteArray>
#include <QString>

#include <variant>

// --token-file: the token of orvessa serve, which clients must give, and which
// orvessa gives when it goes through a server.
namespace Driver {

// The token, the file's one line without the spaces, tabs and line ends
// around it; or why it is refused: a file that cannot be read, that holds no
// token or more than one line, a token that an HTTP header cannot carry
// (spaces or tabs inside, control characters, anything but ASCII), or a file
// that group or others may read or write (refused as ssh refuses a private
// key others may read).
std::variant<QByteArray, QString> readTokenFile(const QString& path);

}  // namespace Driver
