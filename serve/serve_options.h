#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

// orvessa serve's options, checked as far as they can be without the
// network or the files they name.
namespace Serve {

// The port number orvessa serve listens on unless --listen says otherwise.
inline constexpr quint16 DefaultServePort = 8321;

struct ServeOptions {
    QString listenHost = QStringLiteral("127.0.0.1");  // an address, IPv4 or IPv6
    quint16 listenPort = DefaultServePort;             // 0: any free port
    std::optional<QString> tokenFile;
    bool noToken = false;    // on loopback: HTTP clients need no token
    QStringList allowHosts;  // further names the Host header may give, each NAME or NAME:PORT
    int pollMs = 5000;
};

struct ServeOptionValues {
    std::optional<QString> listen;
    std::optional<QString> tokenFile;
    QStringList allowHosts;
    std::optional<QString> poll;
    bool noToken = false;
};

// The options, or the usage error. An address other than loopback needs a
// token file; --no-token goes with loopback only, and not with a token file.
std::variant<ServeOptions, QString> parseServeOptions(const ServeOptionValues& values);

}  // namespace Serve
