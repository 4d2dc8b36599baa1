// orvessa's command line: what each accepted line asks for, and the message
// for each bad one.
#include "arguments.h"

#include <QtTest>

using namespace Cli;
using namespace Driver;

namespace {

QString summary(const Invocation& call)
{
    if (call.help)
        return "help";
    if (call.version)
        return "version";
    if (call.verb == Verb::Serve)
        return QString("serve port=%1 timeout=%2 listen=%3 port %4 token=%5 allow=%6 poll=%7")
            .arg(call.port.value_or("-"))
            .arg(call.timeoutMs)
            .arg(call.serve.listenHost)
            .arg(call.serve.listenPort)
            .arg(call.serve.tokenFile.value_or("-"), call.serve.allowHosts.join(','))
            .arg(call.serve.pollMs);
    return QString("%1 [%2] port=%3 json=%4 timeout=%5 off=%6 exec=%7")
        .arg(verbName(call.verb), call.outlets.join(','), call.port.value_or("-"))
        .arg(call.json)
        .arg(call.timeoutMs)
        .arg(call.offTimeMs)
        .arg(call.exec ? call.exec->join('|') : "-")
        .append(call.waitMs ? QString(" wait=%1").arg(*call.waitMs) : QString())
        .append(call.server ? QString(" server=%1").arg(*call.server) : QString())
        .append(call.tokenFile ? QString(" token=%1").arg(*call.tokenFile) : QString());
}

}  // namespace

class TestCliArguments : public QObject {
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
};

void TestCliArguments::parse_data()
{
    QTest::addColumn<QStringList>("args");
    // The invocation's summary, or "error: " and the message, with "+json"
    // when the error is to be told as JSON too.
    QTest::addColumn<QString>("expected");

    const auto row = [](const char* name, QStringList args, const QString& expected) {
        QTest::newRow(name) << args << expected;
    };
    row("status", {"status"}, "status [] port=- json=0 timeout=500 off=5000 exec=-");
    row("status of some", {"status", "3", "router"}, "status [3,router] port=- json=0 timeout=500 off=5000 exec=-");
    row("options before", {"--port", "COM2", "--json", "--timeout", "50", "on", "3"},
        "on [3] port=COM2 json=1 timeout=50 off=5000 exec=-");
    row("options after", {"off", "3", "--port=/dev/ttyUSB0", "--json"},
        "off [3] port=/dev/ttyUSB0 json=1 timeout=500 off=5000 exec=-");
    row("toggle several", {"toggle", "1", "12"}, "toggle [1,12] port=- json=0 timeout=500 off=5000 exec=-");
    row("cycle", {"cycle", "3"}, "cycle [3] port=- json=0 timeout=500 off=5000 exec=-");
    row("cycle, off-time", {"cycle", "3", "--off-time", "2"}, "cycle [3] port=- json=0 timeout=500 off=2000 exec=-");
    row("cycle, off-time 0.25", {"cycle", "3", "--off-time=0.25"},
        "cycle [3] port=- json=0 timeout=500 off=250 exec=-");
    row("cycle, off-time 0", {"cycle", "3", "--off-time", "0"}, "cycle [3] port=- json=0 timeout=500 off=0 exec=-");
    row("cycle, a day off", {"cycle", "3", "--off-time", "86400"},
        "cycle [3] port=- json=0 timeout=500 off=86400000 exec=-");
    row("all-on", {"all-on"}, "all-on [] port=- json=0 timeout=500 off=5000 exec=-");
    row("all-off", {"all-off"}, "all-off [] port=- json=0 timeout=500 off=5000 exec=-");
    row("reset", {"reset"}, "reset [] port=- json=0 timeout=500 off=5000 exec=-");
    row("ports", {"--json", "ports"}, "ports [] port=- json=1 timeout=500 off=5000 exec=-");
    row("upgrade with a tool", {"upgrade", "--exec", "avrdude -P {device}"},
        "upgrade [] port=- json=0 timeout=500 off=5000 exec=avrdude|-P|{device}");
    row("upgrade, quoted words", {"upgrade", "--exec", "flash 'my fw.hex' {device}"},
        "upgrade [] port=- json=0 timeout=500 off=5000 exec=flash|my fw.hex|{device}");
    row("timeout limits", {"--timeout", "60000", "status"}, "status [] port=- json=0 timeout=60000 off=5000 exec=-");
    row("a name after --", {"on", "--", "-odd-"}, "on [-odd-] port=- json=0 timeout=500 off=5000 exec=-");
    row("wait", {"--wait", "2.5", "on", "3"}, "on [3] port=- json=0 timeout=500 off=5000 exec=- wait=2500");
    row("wait 0", {"status", "--wait=0"}, "status [] port=- json=0 timeout=500 off=5000 exec=- wait=0");
    row("help", {"--help", "bogus"}, "help");
    row("-h", {"-h"}, "help");
    row("version", {"--version"}, "version");

    row("no verb", {}, "error: no verb given");
    row("unknown verb", {"power", "3"}, "error: unknown verb 'power'");
    row("verb in capitals", {"ON", "3"}, "error: unknown verb 'ON'");
    row("on without outlets", {"on"}, "error: on needs at least one outlet");
    row("cycle without outlets", {"cycle", "--off-time", "1"}, "error: cycle needs at least one outlet");
    row("reset with an outlet", {"reset", "3"}, "error: reset takes no outlet");
    row("all-on with an outlet", {"all-on", "1"}, "error: all-on takes no outlet");
    row("ports with an outlet", {"ports", "1"}, "error: ports takes no outlet");
    row("unknown option", {"on", "3", "--force"}, "error: Unknown option 'force'.");
    row("unknown option, json", {"--json", "-x", "status"}, "error+json: Unknown option 'x'.");
    row("port without value", {"status", "--port"}, "error: Missing value after '--port'.");
    row("empty port", {"status", "--port="}, "error: --port needs COM<n> or a device path");
    row("timeout 0", {"--timeout", "0", "status"}, "error: --timeout expects milliseconds from 1 to 60000, got '0'");
    row("timeout too long", {"--timeout", "60001", "status"}, "error: got '60001'");
    row("timeout in seconds", {"--timeout", "1s", "status"}, "error: got '1s'");
    row("timeout negative", {"--timeout=-5", "status"}, "error: got '-5'");
    row("off-time too long", {"cycle", "3", "--off-time", "86400.001"},
        "error: --off-time expects seconds from 0 to 86400, got '86400.001'");
    row("off-time negative", {"cycle", "3", "--off-time=-1"}, "error: got '-1'");
    row("off-time, four decimals", {"cycle", "3", "--off-time", "0.0001"}, "error: got '0.0001'");
    row("wait too long", {"--wait", "86401", "status"}, "error: --wait expects seconds from 0 to 86400, got '86401'");
    row("wait in minutes", {"--wait", "1m", "status"}, "error: got '1m'");
    row("off-time with on", {"on", "3", "--off-time", "1"}, "error: --off-time goes with cycle only");
    row("exec with status", {"--json", "status", "--exec", "true"}, "error+json: --exec goes with upgrade only");
    row("empty exec", {"upgrade", "--exec", " "}, "error: --exec needs a command");
    row("exec, an empty program", {"upgrade", "--exec", "'' {device}"}, "error: --exec needs a command");
    row("exec, a pipe", {"--json", "upgrade", "--exec", "flash {device} | tee log"},
        "error+json: --exec runs no shell, so an unquoted '|' is refused");
    row("exec, an unclosed quote", {"upgrade", "--exec", "flash 'fw.hex"},
        "error: --exec: the quote ' at character 7 is not closed");

    row("serve", {"serve"}, "serve port=- timeout=500 listen=127.0.0.1 port 8321 token=- allow= poll=5000");
    row("serve, every option",
        {"--port", "COM2", "serve", "--listen", "[::1]:9000", "--allow-host", "rack.lab", "--allow-host", "rack:80",
         "--poll", "0.25", "--timeout", "100"},
        "serve port=COM2 timeout=100 listen=::1 port 9000 token=- allow=rack.lab,rack:80 poll=250");
    row("serve on localhost, its port", {"serve", "--listen", "localhost"},
        "serve port=- timeout=500 listen=127.0.0.1 port 8321 token=- allow= poll=5000");
    row("serve beyond loopback with a token", {"serve", "--listen=0.0.0.0:0", "--token-file", "/etc/tavrin/token"},
        "serve port=- timeout=500 listen=0.0.0.0 port 0 token=/etc/tavrin/token allow= poll=5000");
    row("serve beyond loopback without", {"serve", "--listen", "192.168.1.5:8321"},
        "error: listening on 192.168.1.5 needs --token-file");
    row("serve on a name", {"serve", "--listen", "rack.lab:80"}, "error: --listen expects ADDRESS:PORT");
    row("serve on port 70000", {"serve", "--listen", "127.0.0.1:70000"}, "error: --listen expects ADDRESS:PORT");
    row("serve, poll too often", {"serve", "--poll", "0.1"}, "error: --poll expects seconds from 0.25 to 3600");
    row("serve with an outlet", {"serve", "3"}, "error: serve takes no outlet");
    row("serve, json", {"--json", "serve"}, "error+json: serve has no --json");
    row("listen with status", {"status", "--listen", "127.0.0.1:1"},
        "error: --listen, --allow-host, --poll and --no-token go with serve only");
    row("no token with status", {"status", "--no-token"},
        "error: --listen, --allow-host, --poll and --no-token go with serve only");
    row("serve, no token and a token file", {"serve", "--no-token", "--token-file", "t"},
        "error: --no-token and --token-file contradict each other");
    row("serve, no token beyond loopback", {"serve", "--no-token", "--listen", "0.0.0.0:8321"},
        "error: --no-token goes with a loopback address only");

    row("through a server", {"--server", "http://rack:8321", "--token-file", "t", "on", "3"},
        "on [3] port=- json=0 timeout=500 off=5000 exec=- server=http://rack:8321 token=t");
    row("a token for a server found here", {"--token-file", "t", "status"},
        "status [] port=- json=0 timeout=500 off=5000 exec=- token=t");
    row("server and port", {"--server", "http://rack:8321/", "--port", "COM2", "status"},
        "error: --port and --server both name the board");
    row("server, not a URL", {"--json", "--server", "rack:8321", "status"},
        "error+json: --server expects http://HOST:PORT/ (or https://), got 'rack:8321'");
    row("server, upgrade", {"--server", "http://rack:8321/", "upgrade"},
        "error: upgrade is not offered over the network");
    row("server, ports", {"--server", "http://rack:8321/", "ports"},
        "error: --server goes with the verbs on the board");
    row("token file with upgrade", {"--token-file", "t", "upgrade"}, "error: --token-file goes with serve");
}

void TestCliArguments::parse()
{
    QFETCH(QStringList, args);
    QFETCH(QString, expected);

    const auto result = parseArguments(QStringList{"orvessa"} + args);
    if (const auto* error = std::get_if<UsageError>(&result)) {
        const QString prefix = error->json ? "error+json: " : "error: ";
        QVERIFY2(expected.startsWith(prefix), qPrintable(prefix + error->message));
        QVERIFY2(error->message.startsWith(expected.mid(prefix.size())) ||
                     (expected.contains("got '") && error->message.endsWith(expected.mid(prefix.size()))),
                 qPrintable(error->message));
        return;
    }
    QCOMPARE(summary(std::get<Invocation>(result)), expected);
}

QTEST_GUILESS_MAIN(TestCliArguments)
#include "tst_cli_arguments.moc"
