#include "access_rules.h"

#include <QCryptographicHash>
#include <QUrl>

#include <algorithm>
#include <optional>
#include <utility>

namespace {

struct Authority {
    QString host;                 // lower case, without brackets or a trailing dot
    std::optional<quint16> port;  // none when not given
};

std::optional<quint16> portNumber(QStringView digits)
{
    if (digits.isEmpty() || digits.size() > 5)
        return std::nullopt;
    for (const QChar c : digits)
        if (!c.isDigit())
            return std::nullopt;
    const int number = digits.toInt();
    if (number < 1 || number > 65535)
        return std::nullopt;
    return quint16(number);
}

// "name", "name:port", "1.2.3.4:port", "[::1]:port".
std::optional<Authority> parseAuthority(const QString& text)
{
    Authority authority;
    QStringView rest;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return std::nullopt;
        authority.host = text.mid(1, close - 1);
        rest = QStringView(text).mid(close + 1);
    } else {
        const qsizetype colon = text.indexOf(QLatin1Char(':'));
        if (colon != text.lastIndexOf(QLatin1Char(':')))
            return std::nullopt;  // an IPv6 address without brackets
        authority.host = colon < 0 ? text : text.left(colon);
        rest = colon < 0 ? QStringView() : QStringView(text).mid(colon);
    }
    if (!rest.isEmpty()) {
        if (!rest.startsWith(u':'))
            return std::nullopt;
        authority.port = portNumber(rest.mid(1));
        if (!authority.port)
            return std::nullopt;
    }
    authority.host = authority.host.toLower();
    const bool bracketed = text.startsWith(QLatin1Char('['));
    if (!bracketed && authority.host.endsWith(QLatin1Char('.')))
        authority.host.chop(1);  // a fully qualified name
    // Letters, digits, '-' and '.' (and ':' in an IPv6 address): nothing
    // else may stand in a host, such as a NUL that an address parser stops at.
    const bool plain = std::all_of(authority.host.cbegin(), authority.host.cend(), [bracketed](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' ||
               (bracketed && c == u':');
    });
    if (authority.host.isEmpty() || !plain)
        return std::nullopt;
    return authority;
}

bool isLoopbackName(const QString& host)
{
    static const QStringList names{QStringLiteral("localhost"), QStringLiteral("localhost.localdomain"),
                                   QStringLiteral("ip6-localhost"), QStringLiteral("ip6-loopback")};
    return names.contains(host);
}

bool sameSecret(const QByteArray& given, const QByteArray& token)
{
    // Digests of equal length, compared byte by byte to the end: the time
    // taken tells nothing of where they differ, nor of the token's length.
    const QByteArray a = QCryptographicHash::hash(given, QCryptographicHash::Sha256);
    const QByteArray b = QCryptographicHash::hash(token, QCryptographicHash::Sha256);
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return difference == 0;
}

}  // namespace

AccessRules::AccessRules(Settings settings) : settings_(std::move(settings)) {}

bool AccessRules::hostAllowed(const QByteArray& host) const
{
    const std::optional<Authority> given = parseAuthority(QString::fromLatin1(host.trimmed()));
    if (!given)
        return false;
    for (const QString& entry : settings_.allowHosts) {
        const std::optional<Authority> allowed = parseAuthority(entry);
        if (allowed && allowed->host == given->host &&
            given->port.value_or(settings_.listenPort) == allowed->port.value_or(settings_.listenPort))
            return true;
    }
    if (given->port && *given->port != settings_.listenPort)
        return false;
    if (isLoopbackName(given->host) || given->host == settings_.hostName.toLower())
        return true;
    const QHostAddress address(given->host);
    if (address.isNull())
        return false;
    if (address.isLoopback() || address.isEqual(settings_.listenAddress))
        return true;
    return settings_.ownAddresses && settings_.ownAddresses().contains(address);
}

bool AccessRules::originAllowed(const QByteArray& origin, const QByteArray& host)
{
    if (origin.isEmpty())
        return true;
    const QUrl url(QString::fromLatin1(origin), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        !url.path().isEmpty() || url.host().isEmpty())
        return false;
    const std::optional<Authority> reached = parseAuthority(QString::fromLatin1(host.trimmed()));
    if (!reached)
        return false;
    const int defaultPort = scheme == QLatin1String("https") ? 443 : 80;
    // QUrl gives an IPv6 host without brackets, as parseAuthority does.
    return url.host().toLower() == reached->host && url.port(defaultPort) == reached->port.value_or(defaultPort);
}

bool AccessRules::tokenAccepted(const QByteArray& authorization) const
{
    const qsizetype space = authorization.indexOf(' ');
    if (space < 0)
        return false;
    const QByteArray scheme = authorization.left(space).toLower();
    const QByteArray credentials = authorization.mid(space + 1).trimmed();
    QByteArray given;
    if (scheme == "bearer") {
        given = credentials;
    } else if (scheme == "basic") {
        const auto decoded = QByteArray::fromBase64Encoding(credentials, QByteArray::AbortOnBase64DecodingErrors);
        const qsizetype colon = decoded.decoded.indexOf(':');
        if (!decoded || colon < 0)
            return false;
        given = decoded.decoded.mid(colon + 1).trimmed();
    } else {
        return false;
    }
    return sameSecret(given, settings_.token);
}
