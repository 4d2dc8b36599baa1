#include "arguments.h"

#include "command_words.h"
#include "seconds_text.h"
#include "server_exchange.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QRegularExpression>

#include <array>
#include <utility>

namespace Cli {

using namespace Driver;

namespace {

constexpr int MaxTimeoutMs = 60'000;
constexpr int DayMs = 86'400'000;  // the longest --off-time and --wait

enum class Outlets { None, Optional, Required };

Outlets outletsOf(Verb verb)
{
    switch (verb) {
    case Verb::Status:
    case Verb::Watch:
        return Outlets::Optional;
    case Verb::On:
    case Verb::Off:
    case Verb::Toggle:
    case Verb::Cycle:
        return Outlets::Required;
    default:
        return Outlets::None;
    }
}

QString quoted(const QString& text) { return QLatin1Char('\'') + text + QLatin1Char('\''); }

// Milliseconds, digits only.
std::optional<int> parseTimeout(const QString& text)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,6}$"));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    const int value = text.toInt();
    if (value < 1 || value > MaxTimeoutMs)
        return std::nullopt;
    return value;
}

}  // namespace

std::variant<Invocation, UsageError> parseArguments(const QStringList& args)
{
    QCommandLineParser parser;
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption port(QStringLiteral("port"), {}, QStringLiteral("port"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), {}, QStringLiteral("ms"));
    const QCommandLineOption offTime(QStringLiteral("off-time"), {}, QStringLiteral("seconds"));
    const QCommandLineOption exec(QStringLiteral("exec"), {}, QStringLiteral("command"));
    const QCommandLineOption wait(QStringLiteral("wait"), {}, QStringLiteral("seconds"));
    const QCommandLineOption listen(QStringLiteral("listen"), {}, QStringLiteral("address"));
    const QCommandLineOption tokenFile(QStringLiteral("token-file"), {}, QStringLiteral("file"));
    const QCommandLineOption allowHost(QStringLiteral("allow-host"), {}, QStringLiteral("name"));
    const QCommandLineOption poll(QStringLiteral("poll"), {}, QStringLiteral("seconds"));
    const QCommandLineOption server(QStringLiteral("server"), {}, QStringLiteral("url"));
    const QCommandLineOption noToken(QStringLiteral("no-token"));
    parser.addOptions(
        {help, version, json, port, timeout, offTime, exec, wait, listen, tokenFile, allowHost, poll, server, noToken});

    const bool parsed = parser.parse(args);
    Invocation call;
    call.json = parser.isSet(json);
    const auto error = [&call](const QString& message) { return UsageError{message, call.json}; };
    if (!parsed)
        return error(parser.errorText());
    call.help = parser.isSet(help);
    call.version = parser.isSet(version);
    if (call.help || call.version)
        return call;

    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return error(QStringLiteral("no verb given"));
    const QString verbText = positional.takeFirst();
    const std::optional<Verb> verb = verbNamed(verbText);
    if (!verb)
        return error(QStringLiteral("unknown verb %1").arg(quoted(verbText)));
    call.verb = *verb;
    call.outlets = positional;

    switch (outletsOf(call.verb)) {
    case Outlets::None:
        if (!call.outlets.isEmpty())
            return error(QStringLiteral("%1 takes no outlet").arg(verbText));
        break;
    case Outlets::Required:
        if (call.outlets.isEmpty())
            return error(QStringLiteral("%1 needs at least one outlet").arg(verbText));
        break;
    case Outlets::Optional:
        break;
    }

    if (parser.isSet(port)) {
        call.port = parser.value(port);
        if (call.port->isEmpty())
            return error(QStringLiteral("--port needs COM<n> or a device path"));
    }
    if (parser.isSet(timeout)) {
        const auto ms = parseTimeout(parser.value(timeout));
        if (!ms)
            return error(QStringLiteral("--timeout expects milliseconds from 1 to 60000, got %1")
                             .arg(quoted(parser.value(timeout))));
        call.timeoutMs = *ms;
    }
    if (parser.isSet(offTime)) {
        if (call.verb != Verb::Cycle)
            return error(QStringLiteral("--off-time goes with cycle only"));
        const auto ms = parseSeconds(parser.value(offTime), 0, DayMs);
        if (!ms)
            return error(QStringLiteral("--off-time expects seconds from 0 to 86400, got %1")
                             .arg(quoted(parser.value(offTime))));
        call.offTimeMs = *ms;
    }
    if (parser.isSet(wait)) {
        call.waitMs = parseSeconds(parser.value(wait), 0, DayMs);
        if (!call.waitMs)
            return error(
                QStringLiteral("--wait expects seconds from 0 to 86400, got %1").arg(quoted(parser.value(wait))));
    }
    if (parser.isSet(exec)) {
        if (call.verb != Verb::Upgrade)
            return error(QStringLiteral("--exec goes with upgrade only"));
        const auto words = splitCommandWords(parser.value(exec));
        if (const auto* refused = std::get_if<QString>(&words))
            return error(*refused);
        call.exec = std::get<QStringList>(words);
        if (call.exec->isEmpty() || call.exec->first().isEmpty())
            return error(QStringLiteral("--exec needs a command"));
    }
    const bool serveOptionGiven =
        parser.isSet(listen) || parser.isSet(allowHost) || parser.isSet(poll) || parser.isSet(noToken);
    if (serveOptionGiven && call.verb != Verb::Serve)
        return error(QStringLiteral("--listen, --allow-host, --poll and --no-token go with serve only"));
    const bool onTheBoard = call.verb != Verb::Ports && call.verb != Verb::Upgrade && call.verb != Verb::Serve;
    if (parser.isSet(tokenFile)) {
        if (!onTheBoard && call.verb != Verb::Serve)
            return error(QStringLiteral("--token-file goes with serve, and with the verbs that may go through a "
                                        "server (not with %1)")
                             .arg(verbText));
        call.tokenFile = parser.value(tokenFile);
        if (call.tokenFile->isEmpty())
            return error(QStringLiteral("--token-file needs a file"));
    }
    if (parser.isSet(server)) {
        if (call.verb == Verb::Upgrade)
            return error(QStringLiteral("upgrade is not offered over the network: run it on the board's machine, "
                                        "with its server stopped"));
        if (!onTheBoard)
            return error(QStringLiteral("--server goes with the verbs on the board, not with %1").arg(verbText));
        if (call.port)
            return error(QStringLiteral("--port and --server both name the board: give one of them"));
        if (!parseServerUrl(parser.value(server)))
            return error(QStringLiteral("--server expects http://HOST:PORT/ (or https://), got %1")
                             .arg(quoted(parser.value(server))));
        call.server = parser.value(server);
    }
    if (call.verb == Verb::Serve) {
        if (call.json)
            return error(QStringLiteral("serve has no --json: it logs to standard error"));
        const auto optional = [&parser](const QCommandLineOption& option) {
            return parser.isSet(option) ? std::optional<QString>(parser.value(option)) : std::nullopt;
        };
        auto serve = Serve::parseServeOptions(
            {optional(listen), optional(tokenFile), parser.values(allowHost), optional(poll), parser.isSet(noToken)});
        if (const auto* refused = std::get_if<QString>(&serve))
            return error(*refused);
        call.serve = std::get<Serve::ServeOptions>(std::move(serve));
    }
    return call;
}

QString helpText()
{
    return QStringLiteral(R"(Usage: orvessa [--port COM<n>|PATH] [--json] [--timeout MS] [--wait SECONDS]
               [--token-file FILE] VERB [OUTLET...]
       orvessa --server URL [--token-file FILE] [--json] [--timeout MS]
               VERB [OUTLET...]
       orvessa [--port COM<n>|PATH] [--timeout MS] serve [--listen ADDRESS:PORT]
               [--token-file FILE | --no-token] [--allow-host NAME]...
               [--poll SECONDS]

Switches and reads the outlets of an Orvessa outlet controller through its
serial port (9600 8N1), for scripts and lab tools. OUTLET is a number from 1
to 12, or the name the outlet has in the panel's settings (group [Outlets] of
~/.config/Tavrin/TavrinV1.3prj.conf, e.g. 3=router).

Verbs:
  ports               COM1 to COM4 and further mapped ports: device, present,
                      in use and by whom
  status [OUTLET...]  whether each outlet (default: all) is on or off
  on OUTLET...        switch on the outlets that are off, then read back;
                      succeeds when every outlet named is on
  off OUTLET...       the same for off
  toggle OUTLET...    flip each outlet once and confirm the flip
  cycle OUTLET...     off (confirmed), wait --off-time, on (confirmed); a
                      cycle never leaves an outlet off: when SIGINT or SIGTERM
                      cuts the wait short, or some outlets do not go off, the
                      outlets that went off are switched back on (confirmed)
  all-on, all-off     switch every outlet, confirmed by a status read
  reset               reset the board ("b") and wait until it answers a status
                      query again, up to 3 s; the outlets keep their state
  upgrade             put the board into firmware upgrade mode, wait for it to
                      be ready and release the port
  watch [OUTLET...]   print the state of the outlets (default: all), then a
                      line for each outlet that changes, until SIGINT or
                      SIGTERM (status 0); --json: one object per change, with
                      "by" when a server said who switched. Through the
                      server's events while orvessa serve holds the port, else
                      a read of the port every 5 s, taking turns with other
                      orvessa commands
  serve               hold the port and serve the board over HTTP until
                      SIGTERM or SIGINT: one queue for every client's
                      requests, each confirmed by a state read (see below)

Options:
  --port COM<n>|PATH  COM<n> as the panel maps it, or a device path (default:
                      the port saved by the panel, else COM1)
  --json              print the result, or the failure, as one JSON object
  --timeout MS        how long to wait for each reply, 1 to 60000 (default
                      500); a reply that does not come is asked for twice more
  --off-time SECONDS  cycle: how long the outlets stay off, 0 to 86400,
                      fractions allowed (default 5)
  --wait SECONDS      how long to wait for a port in use, 0 to 86400,
                      fractions allowed. Without it, orvessa waits up to 10 s
                      while other orvessa commands use the port, taking turns
                      with them in the order they came, and fails at once when
                      another program (the panel) holds it; with it, orvessa
                      waits that long whoever holds the port. 0: no waiting
  --exec COMMAND      upgrade: once the port is released, run COMMAND (e.g. a
                      firmware download tool) with {device} in its words
                      replaced by the device path; status 4 when it fails.
                      No shell: COMMAND is split into words as sh splits them
                      (quotes, backslashes), nothing is expanded, and an
                      unquoted | & ; < > ( ) ` is refused. With --json, its
                      output goes to standard error.
  --listen ADDRESS:PORT
                      serve: where to listen (default 127.0.0.1:8321; port 0
                      picks a free one); an address other than loopback
                      needs --token-file
  --server URL        reach the board through orvessa serve at URL
                      (http://HOST:PORT/), on another machine, instead of a
                      port here; not with --port, nor with upgrade
  --token-file FILE   serve: HTTP clients must give the token in FILE (one
                      line, readable by its owner only) as an HTTP Basic
                      password or a Bearer token; without it, a server on
                      loopback makes a token of its own (see below). Other
                      verbs with --server: the token to give that server
  --no-token          serve, on loopback only: HTTP clients need no token, so
                      every account on this machine may switch the outlets
  --allow-host NAME   serve: a further name clients may reach it by (their
                      Host header), NAME or NAME:PORT; may be repeated
  --poll SECONDS      serve: read the state at least this often, 0.25 to 3600
                      (default 5)
  -h, --help          print this help and exit
  --version           print the version and exit

Port n is the device named by the environment variable TAVRIN_COM<n>, else by
COM<n> in the group [Ports] of the settings file, else /dev/ttyS<n-1>. When
the port asked for is not mapped, orvessa first gives each new serial adapter
(USB or ACM) the lowest free number from 1 to 4 and records it in [Ports], as
the panel does.

orvessa serve answers GET /outlet/N with 1 or 0 and switches with PUT
/outlet/N and the body 1 or 0 (labgrid's NetworkPowerPort, model rest); its
JSON API is GET /api/status and POST /api/on, off, toggle, cycle, all-on,
all-off and reset. It logs each change and each event of the port on standard
error. Its folder is $RUNTIME_DIRECTORY (a service), else $XDG_RUNTIME_DIR/tavrin,
else /run/tavrin: there it writes its address file, its local socket (for
orvessa on this machine: its own user may switch through it, and for a
service the device's group) and, on loopback without --token-file or
--no-token, the token it made (readable by its own user only), whose page
address it prints.

While orvessa serve holds the port, every verb but ports and upgrade goes
through it by itself, with the same output and exit status: orvessa finds the
server's file for the port's device in $XDG_RUNTIME_DIR/tavrin, /run/tavrin
or a folder in it, and sends the verb through its local socket, needing no
token. --wait does not apply then: the server queues the requests.
ORVESSA_SERVER=URL is --server when --port is not given; ORVESSA_TOKEN_FILE=FILE
is --token-file for --server.

Exit status: 0 done and confirmed (serve: stopped by SIGTERM or SIGINT); 1 the
board did not answer (after a reset: within 3 s), or an outlet did not reach
the asked state, or a server did not answer in time; 2 usage error (nothing
was written; also a token file that cannot be read or that others may read, and
a server's token not given or wrong); 3 the port cannot be opened (missing,
busy, also after the wait, or not permitted; upgrade: held by orvessa serve;
serve: held by another program, or the address cannot be listened on), a
server cannot be reached, or SIGINT or SIGTERM ended the wait for the port
(nothing was written); 4 upgrade --exec: the firmware tool failed (a non-zero
exit status, killed by a signal) or could not be started; 5 SIGINT or SIGTERM
interrupted a cycle, whose outlets were switched back on (through a server: the
server switches them back on after the off-time); 6 the connection to a server
was lost after the request was sent: whether it was done is unknown, and it
was not sent again (the state, when it could be read, is printed).
)");
}

}  // namespace Cli
