// orvessa watch as a process: on its own port against orvessa-sim, and
// through a stand-in for orvessa serve's local socket (orvessa-fake-events).
// What it prints first and after a change, its JSON lines, and that SIGTERM
// ends it with status 0.
#include "orvessa_run.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>

#include <signal.h>

namespace {

// orvessa watch running, its standard output read line by line.
class WatchProcess {
public:
    WatchProcess(const QProcessEnvironment& environment, const QStringList& args)
    {
        process_.setProcessEnvironment(environment);
        process_.start(QStringLiteral(ORVESSA_PATH), args);
    }
    ~WatchProcess()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished();
        }
    }

    // The lines printed so far, once there are at least `count`, waiting up to `ms`.
    QStringList waitForLines(qsizetype count, int ms)
    {
        QDeadlineTimer deadline(ms);
        while (lines().size() < count && !deadline.hasExpired() && process_.state() != QProcess::NotRunning)
            process_.waitForReadyRead(100);
        return lines();
    }

    QStringList lines()
    {
        out_ += process_.readAllStandardOutput();
        return QString::fromUtf8(out_).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // SIGTERM, then its exit status; -1 when it did not end by itself.
    int terminate()
    {
        ::kill(pid_t(process_.processId()), SIGTERM);
        if (!process_.waitForFinished(10000) || process_.exitStatus() != QProcess::NormalExit)
            return -1;
        return process_.exitCode();
    }

    QByteArray errors() { return err_ += process_.readAllStandardError(); }

private:
    QProcess process_;
    QByteArray out_;
    QByteArray err_;
};

QStringList linesOf(const QByteArray& out) { return QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts); }

QJsonObject jsonOf(const QString& line) { return QJsonDocument::fromJson(line.toUtf8()).object(); }

// The simulator, and orvessa with a runtime folder of its own and outlet 3 named "router".
struct Board {
    Board()
    {
        orvessa.setEnv("XDG_RUNTIME_DIR", runtime.path());
        named = orvessa.writeSettings("[Outlets]\n3=router\n");
    }
    bool ready() const { return !sim.device().isEmpty() && named; }

    SimProcess sim{{}};
    Orvessa orvessa;
    QTemporaryDir runtime;
    bool named = false;
};

// Long enough for a read every 5 s to see a change, with room for a busy machine.
constexpr int PollSeenMs = 15000;

}  // namespace

class TestCliWatch : public QObject {
    Q_OBJECT
private slots:
    void ownPort_data();
    void ownPort();
    void throughServer_data();
    void throughServer();
};

// On its own port: first the state as orvessa status prints it, then within a
// poll the change another orvessa command made, in the same words (or as
// orvessa --json status prints the state), until SIGTERM, which ends it with 0.
void TestCliWatch::ownPort_data()
{
    QTest::addColumn<QStringList>("outlets");
    QTest::addColumn<bool>("json");

    QTest::newRow("all outlets") << QStringList{} << false;
    QTest::newRow("named outlets") << QStringList{"router", "5"} << false;
    QTest::newRow("json lines") << QStringList{"3", "7"} << true;
}

void TestCliWatch::ownPort()
{
    QFETCH(QStringList, outlets);
    QFETCH(bool, json);

    Board board;
    QVERIFY(board.ready());
    SimProcess& sim = board.sim;
    Orvessa& orvessa = board.orvessa;
    const QStringList port{"--port", sim.device()};
    const QStringList format = json ? QStringList{"--json"} : QStringList{};
    const OrvessaResult before = orvessa.run(port + format + QStringList{"status"} + outlets);
    QCOMPARE(before.exitCode, 0);

    WatchProcess watch(orvessa.environment(), port + format + QStringList{"watch"} + outlets);
    const QStringList first = watch.waitForLines(linesOf(before.out).size(), PollSeenMs);
    QCOMPARE(first, linesOf(before.out));

    QCOMPARE(orvessa.run(port + QStringList{"on", "3"}).exitCode, 0);
    const OrvessaResult after =
        orvessa.run(port + format + QStringList{"status"} + (json ? outlets : QStringList{"3"}));
    const QStringList changed = watch.waitForLines(first.size() + 1, PollSeenMs).mid(first.size());
    QCOMPARE(changed, linesOf(after.out));
    if (json) {
        QCOMPARE(jsonOf(changed.value(0)).value("outlets"), jsonOf(linesOf(after.out).value(0)).value("outlets"));
        QVERIFY(jsonOf(changed.value(0)).value("outlets") != jsonOf(first.value(0)).value("outlets"));
    }
    QCOMPARE(watch.terminate(), 0);
    QCOMPARE(watch.errors(), QByteArray());
}

// Through the server that holds the port: the state it sends first, a change
// with who asked for it, and the server going away, told once, after which
// the port is read again.
void TestCliWatch::throughServer_data()
{
    QTest::addColumn<QString>("mode");  // the stand-in's: its local socket, without a stream, or HTTP
    QTest::addColumn<bool>("json");
    QTest::addColumn<QByteArrayList>("events");  // sent after the first state
    QTest::addColumn<bool>("serverQuits");
    QTest::addColumn<QStringList>("printed");  // plain lines, or the "word" and "by" of each JSON line
    QTest::addColumn<QString>("told");         // on standard error

    QTest::newRow("the server's state first")
        << "local" << false << QByteArrayList{} << false << QStringList{"outlet 3 (router): on", "outlet 5: off"} << "";
    QTest::newRow("a change with who asked")
        << "local" << true
        << QByteArrayList{"{\"event\":\"change\",\"data\":{\"asked\":\"on\",\"outlets\":[5],\"word\":20,\"by\":\"local "
                          "user alice, process 7\"}}",
                          "{\"event\":\"state\",\"data\":{\"port\":\"x\",\"device\":\"x\",\"word\":20,\"outlets\":[]}}"}
        << false << QStringList{"4 ", "20 local user alice, process 7"} << "";
    QTest::newRow("the server goes away")
        << "local" << false << QByteArrayList{} << true
        << QStringList{"outlet 3 (router): on", "outlet 5: off", "outlet 3 (router): off"} << "went away";
    QTest::newRow("a server without the stream is asked for its state")
        << "no-events" << false << QByteArrayList{} << false << QStringList{"outlet 3 (router): on", "outlet 5: off"}
        << "refused the event stream: no events here";
    QTest::newRow("over HTTP with its token, its names")
        << "http" << false
        << QByteArrayList{"{\"event\":\"state\",\"data\":{\"port\":\"x\",\"device\":\"x\",\"word\":20,\"outlets\":[]}}"}
        << false << QStringList{"outlet 3: on", "outlet 5: off", "outlet 5: on"} << "";
}

void TestCliWatch::throughServer()
{
    QFETCH(QString, mode);
    QFETCH(bool, json);
    QFETCH(QByteArrayList, events);
    QFETCH(bool, serverQuits);
    QFETCH(QStringList, printed);
    QFETCH(QString, told);

    Board board;
    QVERIFY(board.ready());
    SimProcess& sim = board.sim;
    Orvessa& orvessa = board.orvessa;
    QProcess server;
    const auto stopServer = qScopeGuard([&server] {
        server.kill();
        server.waitForFinished(5000);
    });
    QProcessEnvironment environment = orvessa.environment();
    environment.insert("FAKE_TOKEN", "watch-token");
    server.setProcessEnvironment(environment);
    server.start(QStringLiteral(ORVESSA_FAKE_EVENTS_PATH), {sim.device(), "4", mode});
    QVERIFY(server.waitForReadyRead(10000));
    const QByteArray ready = server.readLine().trimmed();
    QVERIFY2(ready.startsWith("ready"), ready.constData());

    QStringList where{"--port", sim.device()};
    if (mode == QLatin1String("http")) {
        QFile token(board.runtime.filePath("token"));
        QVERIFY(token.open(QIODevice::WriteOnly) && token.write("watch-token\n") > 0);
        token.close();
        QVERIFY(token.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        where = QStringList{"--server", "http://127.0.0.1:" + ready.mid(6) + "/", "--token-file", token.fileName()};
    }
    const QStringList format = json ? QStringList{"--json"} : QStringList{};
    WatchProcess watch(orvessa.environment(), where + format + QStringList{"watch", "3", "5"});
    QCOMPARE(watch.waitForLines(json ? 1 : 2, PollSeenMs).size(), json ? 1 : 2);
    for (const QByteArray& event : events)
        server.write(event + '\n');
    if (serverQuits)
        server.write("quit\n");
    QVERIFY(server.bytesToWrite() == 0 || server.waitForBytesWritten(5000));

    QStringList lines = watch.waitForLines(printed.size(), PollSeenMs);
    if (json) {
        for (QString& line : lines)
            line = QStringLiteral("%1 %2")
                       .arg(jsonOf(line).value("word").toInt())
                       .arg(jsonOf(line).value("by").toString());
    }
    QCOMPARE(lines, printed);
    QCOMPARE(watch.terminate(), 0);
    const QString errors = QString::fromUtf8(watch.errors());
    QCOMPARE(errors.count(QLatin1Char('\n')), told.isEmpty() ? 0 : 1);
    QVERIFY2(errors.contains(told), qPrintable(errors));
}

QTEST_GUILESS_MAIN(TestCliWatch)
#include "tst_cli_watch.moc"
