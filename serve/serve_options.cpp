#include "serve_options.h"

#include "seconds_text.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace Serve {

namespace {

constexpr int MinPollMs = 250;
constexpr int MaxPollMs = 3'600'000;

struct Listen {
    QString host;
    quint16 port = DefaultServePort;
};

// "HOST:PORT", "[IPv6]:PORT", or an address alone; "localhost" is 127.0.0.1.
std::optional<Listen> parseListen(const QString& text)
{
    static const QRegularExpression form(
        QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([^:\\[\\]]+))(?::([0-9]{1,5}))?$"));
    QString host;
    QString port;
    if (const QRegularExpressionMatch match = form.match(text); match.hasMatch()) {
        host = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
        port = match.captured(3);
    } else if (QHostAddress(text).protocol() == QAbstractSocket::IPv6Protocol) {
        host = text;  // a bare IPv6 address
    } else {
        return std::nullopt;
    }
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        host = QStringLiteral("127.0.0.1");
    const QHostAddress address(host);
    if (address.isNull())
        return std::nullopt;
    Listen listen{address.toString(), DefaultServePort};
    if (!port.isEmpty()) {
        const int number = port.toInt();
        if (number > 65535)
            return std::nullopt;
        listen.port = quint16(number);
    }
    return listen;
}

}  // namespace

std::variant<ServeOptions, QString> parseServeOptions(const ServeOptionValues& values)
{
    ServeOptions options;
    if (values.listen) {
        const std::optional<Listen> listen = parseListen(*values.listen);
        if (!listen)
            return QStringLiteral("--listen expects ADDRESS:PORT (an IPv4 address, [IPv6] or localhost, and a port "
                                  "from 0 to 65535), got '%1'")
                .arg(*values.listen);
        options.listenHost = listen->host;
        options.listenPort = listen->port;
    }
    if (values.tokenFile) {
        if (values.tokenFile->isEmpty())
            return QStringLiteral("--token-file needs a file");
        options.tokenFile = values.tokenFile;
    }
    for (const QString& name : values.allowHosts) {
        if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char(' ')))
            return QStringLiteral("--allow-host expects a host name, NAME or NAME:PORT, got '%1'").arg(name);
        options.allowHosts << name;
    }
    if (values.poll) {
        const std::optional<int> ms = Driver::parseSeconds(*values.poll, MinPollMs, MaxPollMs);
        if (!ms)
            return QStringLiteral("--poll expects seconds from 0.25 to 3600, got '%1'").arg(*values.poll);
        options.pollMs = *ms;
    }
    options.noToken = values.noToken;
    if (options.noToken && options.tokenFile)
        return QStringLiteral("--no-token and --token-file contradict each other: give one of them");
    if (options.noToken && !QHostAddress(options.listenHost).isLoopback())
        return QStringLiteral("--no-token goes with a loopback address only: anyone who reaches %1 could switch "
                              "the outlets")
            .arg(options.listenHost);
    if (!QHostAddress(options.listenHost).isLoopback() && !options.tokenFile)
        return QStringLiteral("listening on %1 needs --token-file: anyone who reaches that address could switch the "
                              "outlets")
            .arg(options.listenHost);
    return options;
}

}  // namespace Serve
