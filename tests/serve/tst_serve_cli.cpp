// orvessa while `orvessa serve` holds the port: found on the same machine
// without being told, each verb gives the output and exit status it gives on
// its own; --server reaches a server with its token; a rendezvous file that a
// killed server left is ignored.
#include "orvessa_run.h"
#include "serve_process.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <memory>
#include <sys/stat.h>

class TestServeCli : public QObject {
    Q_OBJECT
private slots:
    void sameAsOnItsOwn_data();
    void sameAsOnItsOwn();
    void token_data();
    void token();
    void serverNotFound_data();
    void serverNotFound();
    void leftoverFile_data();
    void leftoverFile();
};

namespace {

const QByteArray Settings = "[Outlets]\n3=router\n";

// orvessa with the server's settings, and its runtime folder, where the
// server's file is.
std::unique_ptr<Orvessa> client(const ServeProcess* server)
{
    auto orvessa = std::make_unique<Orvessa>();
    orvessa->writeSettings(Settings);
    if (server)
        orvessa->setEnv("XDG_RUNTIME_DIR", QFileInfo(server->runtimeFolder()).path());
    return orvessa;
}

// A token file readable by its owner only.
QString tokenFile(const QTemporaryDir& folder, const QString& name, const QByteArray& token)
{
    QFile file(folder.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(token + "\n") < 0)
        return {};
    file.close();
    ::chmod(QFile::encodeName(file.fileName()).constData(), 0600);
    return file.fileName();
}

// The server's file for `device` (a /dev path) in `folder`.
QString rendezvousFile(const QString& folder, const QString& device)
{
    return folder + "/serve-" + device.mid(5).replace('/', '_') + ".json";
}

}  // namespace

void TestServeCli::sameAsOnItsOwn_data()
{
    QTest::addColumn<QStringList>("simOptions");
    QTest::addColumn<QStringList>("args");  // after --port
    QTest::addColumn<int>("status");

    const QStringList fresh;
    const QStringList router{"--word", "0x004"};
    QTest::newRow("status") << fresh << QStringList{"status"} << 0;
    QTest::newRow("status of some, JSON") << router << QStringList{"--json", "status", "3", "5"} << 0;
    QTest::newRow("on, by name") << fresh << QStringList{"on", "router", "7"} << 0;
    QTest::newRow("off, JSON") << router << QStringList{"--json", "off", "3"} << 0;
    QTest::newRow("toggle") << router << QStringList{"toggle", "3", "12"} << 0;
    QTest::newRow("cycle") << router << QStringList{"--json", "cycle", "3", "--off-time", "0.2"} << 0;
    QTest::newRow("all-on") << fresh << QStringList{"all-on"} << 0;
    QTest::newRow("all-off, JSON") << router << QStringList{"--json", "all-off"} << 0;
    QTest::newRow("reset") << router << QStringList{"reset"} << 0;
    QTest::newRow("reset, JSON") << router << QStringList{"--json", "reset"} << 0;
    QTest::newRow("a bad outlet") << fresh << QStringList{"--json", "on", "13"} << 2;
    QTest::newRow("an unknown name") << fresh << QStringList{"off", "printer"} << 2;
    QTest::newRow("a stuck board") << QStringList{"--stuck"} << QStringList{"on", "3"} << 1;
    QTest::newRow("a stuck board, JSON") << QStringList{"--stuck"} << QStringList{"--json", "on", "3"} << 1;
    QTest::newRow("a silent board, JSON") << QStringList{"--silent"} << QStringList{"--json", "on", "3"} << 1;
}

void TestServeCli::sameAsOnItsOwn()
{
    QFETCH(QStringList, simOptions);
    QFETCH(QStringList, args);
    QFETCH(int, status);

    // The same board twice: once for orvessa on its own, once behind a server.
    SimProcess alone(simOptions);
    const OrvessaResult direct = client(nullptr)->run(QStringList{"--port", alone.device()} + args);
    SimProcess served(simOptions);
    ServeProcess server({"--port", served.device(), "--listen", "127.0.0.1:0"});
    QVERIFY2(server.serving(), qPrintable(server.log()));
    const OrvessaResult through = client(&server)->run(QStringList{"--port", served.device()} + args);

    const auto shown = [](QByteArray text, const QString& device) { return text.replace(device.toUtf8(), "{device}"); };
    QCOMPARE(direct.exitCode, status);
    QCOMPARE(through.exitCode, status);
    QCOMPARE(shown(through.out, served.device()), shown(direct.out, alone.device()));
    QCOMPARE(shown(through.err, served.device()), shown(direct.err, alone.device()));
    // The server held the port all along: whatever reached the board went through it.
    QCOMPARE(server.end(), 0);
    if (status != 2 && !args.contains("status"))
        QVERIFY2(server.log().contains(" POST /api/"), qPrintable(server.log()));
}

void TestServeCli::token_data()
{
    // {url}: the server's, {device}: its port, {right}/{wrong}: token files
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("message");  // a part of standard error; empty: nothing there

    const QStringList none;
    QTest::newRow("--server, its token") << QStringList{"--server", "{url}", "--token-file", "{right}", "on", "3"}
                                         << none << 0 << "outlet 3 (router): on\n"
                                         << "";
    QTest::newRow("--server, another token")
        << QStringList{"--server", "{url}", "--token-file", "{wrong}", "on", "3"} << none << 2 << ""
        << "orvessa: orvessa serve at {url}: the token given is not this server's\n";
    QTest::newRow("--server, no token") << QStringList{"--server", "{url}", "on", "3"} << none << 2 << ""
                                        << "orvessa: orvessa serve at {url} needs its token: give --token-file";
    QTest::newRow("from the environment")
        << QStringList{"--json", "status", "3"} << QStringList{"ORVESSA_SERVER={url}", "ORVESSA_TOKEN_FILE={right}"}
        << 0
        << R"({"device":"{device}","outlets":[{"name":"router","number":3,"on":false}],)"
           R"("port":"{device}","word":0})"
           "\n"
        << "";
    QTest::newRow("--server and --port") << QStringList{"--server", "{url}", "--port", "{device}", "status"} << none
                                         << 2 << ""
                                         << "--port and --server both name the board";
    QTest::newRow("found here, its token") << QStringList{"--port", "{device}", "--token-file", "{right}", "on", "3"}
                                           << none << 0 << "outlet 3 (router): on\n"
                                           << "";
    QTest::newRow("found here, the token in the environment")
        << QStringList{"--port", "{device}", "status", "3"} << QStringList{"ORVESSA_TOKEN_FILE={right}"} << 0
        << "outlet 3 (router): off\n"
        << "";
    QTest::newRow("found here, no token: its local socket needs none")
        << QStringList{"--port", "{device}", "on", "3"} << none << 0 << "outlet 3 (router): on\n"
        << "";
    QTest::newRow("found here, upgrade") << QStringList{"--port", "{device}", "upgrade"} << none << 3 << ""
                                         << "the device is in use by orvessa serve (process";
    QTest::newRow("no server there") << QStringList{"--server", "http://127.0.0.1:1/", "status"} << none << 3 << ""
                                     << "orvessa: orvessa serve at http://127.0.0.1:1/ cannot be reached";
}

void TestServeCli::token()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, environment);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, message);

    QTemporaryDir folder;
    const QString right = tokenFile(folder, "right", "s3cret-token");
    const QString wrong = tokenFile(folder, "wrong", "not-the-token");
    SimProcess sim({});
    ServeProcess server({"--port", sim.device(), "--listen", "127.0.0.1:0", "--token-file", right});
    QVERIFY2(server.serving(), qPrintable(server.log()));
    const auto fill = [&](QString text) {
        return text.replace("{url}", server.url())
            .replace("{device}", sim.device())
            .replace("{right}", right)
            .replace("{wrong}", wrong);
    };
    auto orvessa = client(&server);
    for (const QString& variable : environment)
        orvessa->setEnv(variable.section('=', 0, 0), fill(variable.section('=', 1)));
    QStringList filled;
    for (const QString& arg : args)
        filled << fill(arg);
    const OrvessaResult result = orvessa->run(filled);
    QCOMPARE(result.exitCode, status);
    QCOMPARE(QString(result.out), fill(out));
    QVERIFY2(message.isEmpty() ? result.err.isEmpty() : result.err.contains(fill(message).toUtf8()),
             result.err.constData());
}

void TestServeCli::serverNotFound_data()
{
    QTest::addColumn<QStringList>("args");

    QTest::newRow("its default wait") << QStringList{"status", "3"};
    QTest::newRow("a switch, with --json") << QStringList{"--json", "on", "3"};
}

// A client that cannot see the server's address file (another
// XDG_RUNTIME_DIR, as a daemon has) is told the holder is a server that
// never ends, at once, instead of waiting for it as for a command.
void TestServeCli::serverNotFound()
{
    QFETCH(QStringList, args);

    SimProcess sim({});
    ServeProcess server({"--port", sim.device(), "--listen", "127.0.0.1:0"});
    QVERIFY2(server.serving(), qPrintable(server.log()));
    QTemporaryDir elsewhere;
    auto orvessa = client(nullptr);
    orvessa->setEnv("XDG_RUNTIME_DIR", elsewhere.path());
    QElapsedTimer took;
    took.start();
    const OrvessaResult result = orvessa->run(QStringList{"--port", sim.device()} + args);
    QCOMPARE(result.exitCode, 3);
    QVERIFY2(result.err.contains("in use by orvessa serve (process"), result.err.constData());
    QVERIFY2(result.err.contains("which this command did not find"), result.err.constData());
    QVERIFY2(took.elapsed() < 5000, qPrintable(QString::number(took.elapsed())));
}

void TestServeCli::leftoverFile_data()
{
    QTest::addColumn<QString>("pid");  // what the file names: ended, mine (this test), server
    QTest::addColumn<QString>("out");

    // The file points at a server of another board, all on: read through it,
    // outlet 3 would be on.
    QTest::newRow("its process has ended") << "ended"
                                           << "outlet 3 (router): off\n";
    QTest::newRow("its process runs another program") << "mine"
                                                      << "outlet 3 (router): off\n";
    QTest::newRow("not JSON") << "garbage"
                              << "outlet 3 (router): off\n";
    QTest::newRow("a running server of another board: not believed") << "server"
                                                                     << "outlet 3 (router): off\n";
}

void TestServeCli::leftoverFile()
{
    QFETCH(QString, pid);
    QFETCH(QString, out);

    SimProcess other({"--word", "0xfff"});
    ServeProcess server({"--port", other.device(), "--listen", "127.0.0.1:0"});
    QVERIFY2(server.serving(), qPrintable(server.log()));
    QFile served(rendezvousFile(server.runtimeFolder(), other.device()));
    QVERIFY(served.open(QIODevice::ReadOnly));
    QJsonObject entry = QJsonDocument::fromJson(served.readAll()).object();
    QProcess ended;
    ended.start("/bin/true");
    QVERIFY(ended.waitForStarted());
    if (pid != "server")
        entry.insert("pid", pid == "ended" ? ended.processId() : QCoreApplication::applicationPid());
    QVERIFY(ended.waitForFinished());

    // The server's entry, for another board.
    SimProcess sim({});
    QFile file(rendezvousFile(server.runtimeFolder(), sim.device()));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(pid == "garbage" ? QByteArray("{\"url\": ") : QJsonDocument(entry).toJson());
    file.close();

    const OrvessaResult result = client(&server)->run({"--port", sim.device(), "status", "3"});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(QString(result.out), out);
}

QTEST_GUILESS_MAIN(TestServeCli)
#include "tst_serve_cli.moc"
