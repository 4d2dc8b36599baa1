// PDUDaemon (Debian's pdudaemon), run in the foreground with the README's
// localcmdline lines, switches outlets while `orvessa serve` holds the port:
// the orvessa commands it runs find the server by themselves.
#include "readme_lines.h"
#include "serve_process.h"
#include "sim_process.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QTcpServer>

#include <memory>

class TestServePduDaemon : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void httpListener_data();
    void httpListener();

private:
    QTemporaryDir folder_;
    std::unique_ptr<SimProcess> sim_;
    std::unique_ptr<ServeProcess> server_;
    QProcess daemon_;
    QString pdu_;     // the README's name for the board in pdudaemon.conf
    QString served_;  // its name for the board of a server run by hand
    quint16 port_ = 0;
    qsizetype logSeen_ = 0;
    QNetworkAccessManager manager_;
};

namespace {

const QString PduDaemon = QStringLiteral("/usr/sbin/pdudaemon");
const QByteArray Token = "pdu-token-0815";

}  // namespace

void TestServePduDaemon::initTestCase()
{
    if (!QFileInfo::exists(PduDaemon))
        QSKIP("pdudaemon is not installed (scripts/setup installs it): PDUDaemon's HTTP listener not tried");
    QJsonObject conf = pduDaemonConf();
    QVERIFY(!conf.isEmpty());

    // The README's adapter, a link to the simulator, served.
    sim_ = std::make_unique<SimProcess>(QStringList{});
    const QString adapter = folder_.filePath(QFileInfo(kReadmeAdapter).fileName());
    QVERIFY(QFile::link(sim_->device(), adapter));
    // Its token, and the daemon's copy, which the README's lines for a server run by hand name.
    const QString tokenFile = folder_.filePath("orvessa.token");
    {
        QFile file(tokenFile);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(Token + "\n") > 0);
    }
    QVERIFY(QFile::setPermissions(tokenFile, QFile::ReadOwner | QFile::WriteOwner));
    server_ = std::make_unique<ServeProcess>(
        QStringList{"--port", adapter, "--listen", "127.0.0.1:0", "--token-file", tokenFile});
    QVERIFY2(server_->serving(), qPrintable(server_->log()));

    // pdudaemon.conf as the README has it, its listener on a free loopback port.
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port_ = probe.serverPort();
    }
    QJsonObject daemon = conf.value("daemon").toObject();
    daemon.insert("hostname", "127.0.0.1");
    daemon.insert("port", port_);
    conf.insert("daemon", daemon);
    QJsonObject pdus = conf.value("pdus").toObject();
    for (const QString& name : pdus.keys()) {
        QJsonObject pdu = pdus.value(name).toObject();
        if (pdu.value("driver").toString() != "localcmdline")
            continue;
        (pdu.value("cmd_on").toString().contains("--server") ? served_ : pdu_) = name;
        for (const char* key : {"cmd_on", "cmd_off"})
            pdu.insert(key, pdu.value(key)
                                .toString()
                                .replace(kReadmeAdapter, adapter)
                                .replace(kReadmeServer, server_->url())
                                .replace(kReadmeTokenFile, tokenFile));
        pdus.insert(name, pdu);
    }
    conf.insert("pdus", pdus);
    QFile file(folder_.filePath("pdudaemon.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(conf).toJson()) > 0);
    file.close();

    // orvessa on its PATH; the server's runtime folder is this machine's.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", QFileInfo(ORVESSA_PATH).absolutePath() + ":" + environment.value("PATH"));
    environment.insert("XDG_RUNTIME_DIR", QFileInfo(server_->runtimeFolder()).path());
    environment.insert("XDG_CONFIG_HOME", folder_.path());
    daemon_.setProcessEnvironment(environment);
    daemon_.setProcessChannelMode(QProcess::MergedChannels);
    daemon_.start(PduDaemon, {"--conf", file.fileName()});
    QVERIFY(daemon_.waitForStarted(10000));
    QByteArray log;
    QDeadlineTimer deadline(30000);
    while (!log.contains("Listening on") && daemon_.state() == QProcess::Running && !deadline.hasExpired()) {
        daemon_.waitForReadyRead(100);
        log += daemon_.readAll();
    }
    QVERIFY2(log.contains("Listening on"), log.constData());
    logSeen_ = server_->log().size();
}

void TestServePduDaemon::cleanupTestCase()
{
    if (daemon_.state() != QProcess::NotRunning) {
        daemon_.terminate();
        if (!daemon_.waitForFinished(10000))
            daemon_.kill();
    }
    if (server_)
        QCOMPARE(server_->end(), 0);
}

void TestServePduDaemon::httpListener_data()
{
    QTest::addColumn<QString>("request");  // {pdu}, {served}: the README's PDUs
    QTest::addColumn<int>("outlet");
    QTest::addColumn<QByteArray>("state");      // GET /outlet/n afterwards
    QTest::addColumn<QStringList>("switched");  // the server's log of the requests, in order

    // In order, from the simulator's start: all off.
    QTest::newRow("on") << "/power/control/on?hostname={pdu}&port=3" << 3 << QByteArray("1")
                        << QStringList{R"(POST /api/on {"outlets":["3"]}: 200 ok)"};
    QTest::newRow("on again") << "/power/control/on?hostname={pdu}&port=3" << 3 << QByteArray("1")
                              << QStringList{R"(POST /api/on {"outlets":["3"]}: 200 ok)"};
    QTest::newRow("another outlet") << "/power/control/on?hostname={pdu}&port=12" << 12 << QByteArray("1")
                                    << QStringList{R"(POST /api/on {"outlets":["12"]}: 200 ok)"};
    QTest::newRow("off") << "/power/control/off?hostname={pdu}&port=3" << 3 << QByteArray("0")
                         << QStringList{R"(POST /api/off {"outlets":["3"]}: 200 ok)"};
    QTest::newRow("a server run by hand: on") << "/power/control/on?hostname={served}&port=5" << 5 << QByteArray("1")
                                              << QStringList{R"(POST /api/on {"outlets":["5"]}: 200 ok)"};
    QTest::newRow("a server run by hand: off") << "/power/control/off?hostname={served}&port=5" << 5 << QByteArray("0")
                                               << QStringList{R"(POST /api/off {"outlets":["5"]}: 200 ok)"};
    QTest::newRow("reboot") << "/power/control/reboot?hostname={pdu}&port=12&delay=1" << 12 << QByteArray("1")
                            << QStringList{R"(POST /api/off {"outlets":["12"]}: 200 ok)",
                                           R"(POST /api/on {"outlets":["12"]}: 200 ok)"};
}

void TestServePduDaemon::httpListener()
{
    QFETCH(QString, request);
    QFETCH(int, outlet);
    QFETCH(QByteArray, state);
    QFETCH(QStringList, switched);

    QVERIFY(!served_.isEmpty());
    const QString url =
        QString("http://127.0.0.1:%1%2").arg(port_).arg(request.replace("{pdu}", pdu_).replace("{served}", served_));
    const HttpAnswer answer = httpCall(manager_, "GET", url);
    QCOMPARE(answer.status, 200);
    QCOMPARE(httpCall(manager_, "GET", server_->url(QString("/outlet/%1").arg(outlet)), {}, Token).body, state);

    const QStringList logged = server_->changes(logSeen_);
    logSeen_ = server_->log().size();
    QCOMPARE(logged, switched);
}

QTEST_GUILESS_MAIN(TestServePduDaemon)
#include "tst_serve_pdudaemon.moc"
