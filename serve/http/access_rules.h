#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// Who orvessa serve answers: a request must name the server by a name or
// address that is its own (so that a page elsewhere cannot reach it through
// a name it rebinds to this machine), a state-changing one must not come from
// another site's page, and with a token every request but the page must give
// it.
class AccessRules {
public:
    struct Settings {
        QByteArray token;  // empty: none needed
        QHostAddress listenAddress;
        quint16 listenPort = 0;
        QStringList allowHosts;  // NAME or NAME:PORT
        QString hostName;        // the machine's own name
        std::function<QList<QHostAddress>()> ownAddresses;
    };

    explicit AccessRules(Settings settings);

    void setListenPort(quint16 port) { settings_.listenPort = port; }
    quint16 listenPort() const { return settings_.listenPort; }

    // `host` is the request's Host header: the listening address, one of
    // the machine's addresses, a loopback name or address, the machine's
    // name or an --allow-host name, each with the listening port or none;
    // an --allow-host NAME:PORT with that port.
    bool hostAllowed(const QByteArray& host) const;
    // An Origin header, when there is one, must be the server as the
    // request reached it: http or https and the Host header's name and port.
    static bool originAllowed(const QByteArray& origin, const QByteArray& host);

    bool needsToken() const { return !settings_.token.isEmpty(); }
    // An Authorization header giving the token as an HTTP Basic password
    // (any user name) or as a Bearer token, compared in constant time.
    bool tokenAccepted(const QByteArray& authorization) const;

private:
    Settings settings_;
};
