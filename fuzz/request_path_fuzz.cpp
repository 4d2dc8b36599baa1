// libFuzzer target for orvessa serve's request path (serve/http/): routing,
// outlet and body parsing, and the Host, Origin and token checks. The first
// byte picks the function, the rest is its input; each must not crash, and
// what it accepts must be something it may accept:
//   0  route(method, path): an outlet route's outlet holds no '/'
//   1  Driver::parseOutlets: outlets from 1 to 12, none twice
//   2  plainState: accepts only "1" or "0" with one line end
//   3  apiRequest for each action: off-time within a day, outlets where due
//   4  hostAllowed: only the names and addresses it knows, with their port
//   5  originAllowed against its own host
//   6  tokenAccepted: only the token, as Basic password or Bearer
#include "access_rules.h"
#include "outlets.h"
#include "request_body.h"
#include "route.h"

#include <QHostAddress>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "request_path_fuzz: %s\n", what);
        std::abort();
    }
}

const QByteArray Token = "s3cret";

AccessRules rules()
{
    return AccessRules({Token, QHostAddress::LocalHost, 8321, {"rack.example", "proxy.example:443"}, "benchhost", {}});
}

// Host or host:port as the checks read it, lower case, without brackets.
QString hostPart(const QString& header)
{
    QString host = QString::fromLatin1(header.toLatin1().trimmed()).toLower();
    if (host.startsWith(u'['))
        return host.mid(1, host.indexOf(u']') - 1);
    host = host.section(u':', 0, 0);
    return host.endsWith(u'.') ? host.chopped(1) : host;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const QString text = QString::fromUtf8(input);
    switch (data[0] % 7) {
    case 0: {
        const auto routed = Http::route(Http::Method(input.isEmpty() ? 0 : input.at(0) & 3), text.mid(1));
        if (const auto* route = std::get_if<Http::Route>(&routed))
            require(!route->outlet.contains(u'/'), "an outlet route's outlet holds a '/'");
        break;
    }
    case 1: {
        Driver::OutletNames names;
        names[2] = QStringLiteral("router");
        const auto parsed = Driver::parseOutlets(text.split(u','), names);
        if (const auto* outlets = std::get_if<QList<int>>(&parsed))
            for (qsizetype i = 0; i < outlets->size(); ++i) {
                require(outlets->at(i) >= 1 && outlets->at(i) <= 12, "an outlet beyond 1 to 12");
                require(outlets->indexOf(outlets->at(i)) == i, "an outlet given twice");
            }
        break;
    }
    case 2:
        if (Http::plainState(input))
            require(input.size() <= 3 && (input.startsWith('1') || input.startsWith('0')), "a state not 1 or 0");
        break;
    case 3:
        for (const Http::Action action : {Http::Action::On, Http::Action::Cycle, Http::Action::Reset}) {
            const auto asked = Http::apiRequest(action, input);
            if (const auto* request = std::get_if<Http::ApiRequest>(&asked)) {
                require(request->offTimeMs >= 0 && request->offTimeMs <= 86'400'000, "an off-time beyond a day");
                require(request->outlets.isEmpty() == (action == Http::Action::Reset), "outlets where not due");
            }
        }
        break;
    case 4:
        if (rules().hostAllowed(input)) {
            const QString host = hostPart(QString::fromLatin1(input));
            const QHostAddress address(host);
            require(host == QLatin1String("localhost") || host == QLatin1String("localhost.localdomain") ||
                        host == QLatin1String("ip6-localhost") || host == QLatin1String("ip6-loopback") ||
                        host == QLatin1String("benchhost") || host == QLatin1String("rack.example") ||
                        host == QLatin1String("proxy.example") || address.isLoopback(),
                    "a host allowed that is not the server's");
        }
        break;
    case 5:
        AccessRules::originAllowed(input, "127.0.0.1:8321");
        break;
    case 6:
        if (rules().tokenAccepted(input)) {
            const QByteArray credentials = input.mid(input.indexOf(' ') + 1).trimmed();
            // A Basic password is the token with, at most, white space around it.
            const QByteArray decoded = QByteArray::fromBase64(credentials);
            const QByteArray password = decoded.mid(decoded.indexOf(':') + 1);
            require(credentials == Token || (decoded.contains(':') && password.trimmed() == Token),
                    "a token accepted that is not it");
        }
        break;
    }
    return 0;
}
