// The built `orvessa serve` against orvessa-sim on a pseudo-terminal: how it
// starts or refuses to, its endpoints, twelve clients at once, a device that
// goes away and comes back, a silent board, and SIGTERM.
#include "serve_process.h"
#include "sim_process.h"

#include <QDir>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <QSet>

#include <algorithm>
#include <functional>
#include <grp.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

class TestServeProcess : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void starting_data();
    void starting();
    void listensFirst();
    void endpoints_data();
    void endpoints();
    void twelveClients();
    void deviceGoneAndBack();
    void silentBoard();
    void outOfFileHandles_data();
    void outOfFileHandles();
    void anotherAccount_data();
    void anotherAccount();
    void stopped_data();
    void stopped();

private:
    std::unique_ptr<SimProcess> sim_;
    std::unique_ptr<ServeProcess> server_;
    QNetworkAccessManager manager_;
};

namespace {

int boardWord(QNetworkAccessManager& manager, ServeProcess& server)
{
    const HttpAnswer answer = httpCall(manager, "GET", server.url("/api/status"));
    return answer.status == 200 ? QJsonDocument::fromJson(answer.body).object().value("word").toInt(-1) : -1;
}

}  // namespace

void TestServeProcess::initTestCase()
{
    sim_ = std::make_unique<SimProcess>(QStringList{});
    QVERIFY(!sim_->device().isEmpty());
    server_ =
        std::make_unique<ServeProcess>(QStringList{"--port", sim_->device(), "--listen", "127.0.0.1:0", "--no-token"});
    QVERIFY2(server_->serving(), qPrintable(server_->log()));
}

void TestServeProcess::cleanupTestCase()
{
    if (server_)
        QCOMPARE(server_->end(), 0);
}

void TestServeProcess::starting_data()
{
    // {board}: the device served already; {missing}: a device not there (served anyway); {taken}: the first
    // server's address
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("token");  // the token file's text; none without --token-file
    QTest::addColumn<int>("mode");          // the token file's permissions
    QTest::addColumn<int>("status");        // -2: it serves
    QTest::addColumn<QString>("message");

    const QStringList beyond{"--port", "{missing}", "--listen", "0.0.0.0:0"};
    QTest::newRow("beyond loopback, no token") << beyond << QByteArray() << 0 << 2 << "needs --token-file";
    QTest::newRow("token file others may read")
        << beyond << QByteArray("t0ken\n") << 0644 << 2 << "Permissions 0644 for '";
    QTest::newRow("token file its group may read") << beyond << QByteArray("t0ken") << 0640 << 2 << "Permissions 0640";
    QTest::newRow("token file others may write") << beyond << QByteArray("t0ken") << 0602 << 2 << "Permissions 0602";
    QTest::newRow("token file empty") << beyond << QByteArray("\n") << 0600 << 2 << "holds no token";
    QTest::newRow("token file of two lines") << beyond << QByteArray("a\nb\n") << 0600 << 2 << "more than one line";
    QTest::newRow("token file its own") << beyond << QByteArray("t0ken\n") << 0600 << -2 << "(token required)";
    QTest::newRow("every address: the page at the machine's name")
        << beyond << QByteArray("t0ken\n") << 0600 << -2 << "at http://{hostname}:";
    QTest::newRow("the device served already")
        << QStringList{"--port", "{board}", "--listen", "127.0.0.1:0", "--no-token"} << QByteArray() << 0 << 3
        << "the device is in use by orvessa serve (process";
    QTest::newRow("no token on loopback: one made, readable by its user only")
        << QStringList{"--port", "{missing}", "--listen", "127.0.0.1:0"} << QByteArray() << 0 << -2
        << "the page with it: http://127.0.0.1:";
    QTest::newRow("--no-token beyond loopback")
        << QStringList{"--port", "{missing}", "--listen", "0.0.0.0:0", "--no-token"} << QByteArray() << 0 << 2
        << "--no-token goes with a loopback";
    QTest::newRow("the address taken") << QStringList{"--port", "{missing}", "--listen", "{taken}"} << QByteArray() << 0
                                       << 3 << "cannot listen on http://127.0.0.1:";
}

void TestServeProcess::starting()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, token);
    QFETCH(int, mode);
    QFETCH(int, status);
    QFETCH(QString, message);

    QTemporaryDir folder;
    if (!token.isEmpty()) {
        QFile file(folder.filePath("token"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(token) == token.size());
        file.close();
        QCOMPARE(::chmod(QFile::encodeName(file.fileName()).constData(), mode_t(mode)), 0);
        args << "--token-file" << file.fileName();
    }
    args.replaceInStrings("{board}", sim_->device());
    args.replaceInStrings("{missing}", folder.filePath("ttyUSB9"));
    args.replaceInStrings("{taken}", QUrl(server_->url()).authority());
    ServeProcess second(args);
    QCOMPARE(second.serving() ? -2 : second.end(0), status);
    QVERIFY2(second.log().contains(QString(message).replace("{hostname}", QHostInfo::localHostName())),
             qPrintable(second.log()));
}

// A server that cannot listen never opens the port: under systemd it is
// restarted every few seconds, and would take the port from its owner each time.
void TestServeProcess::listensFirst()
{
    SimProcess free({"--exit-on-close"});
    ServeProcess second({"--port", free.device(), "--listen", QUrl(server_->url()).authority()});
    QVERIFY(!second.serving());
    QCOMPARE(second.end(0), 3);
    QVERIFY2(second.log().contains("cannot listen on"), qPrintable(second.log()));
    QTest::qWait(200);
    QVERIFY2(free.running(), "the simulator's port was opened and closed");
}

void TestServeProcess::endpoints_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");  // the whole plain answer, or a part of the JSON one
    QTest::addColumn<int>("word");           // the board's state after it

    // In order, from the simulator's start: all off.
    QTest::newRow("GET an outlet") << QByteArray("GET") << "/outlet/3" << QByteArray() << 200 << QByteArray("0")
                                   << 0x000;
    QTest::newRow("PUT on, by name") << QByteArray("PUT") << "/outlet/router" << QByteArray("1") << 200
                                     << QByteArray("1") << 0x004;
    QTest::newRow("GET it back") << QByteArray("GET") << "/outlet/3" << QByteArray() << 200 << QByteArray("1") << 0x004;
    QTest::newRow("PUT off, a line end after")
        << QByteArray("PUT") << "/outlet/3" << QByteArray("0\n") << 200 << QByteArray("0") << 0x000;
    QTest::newRow("no outlet 13") << QByteArray("GET") << "/outlet/13" << QByteArray() << 400
                                  << QByteArray("there is no outlet 13: the outlets are 1 to 12") << 0x000;
    QTest::newRow("no such name") << QByteArray("PUT") << "/outlet/printer" << QByteArray("1") << 400
                                  << QByteArray("'printer' is neither an outlet number (1 to 12) nor an outlet name "
                                                "(names: 'router')")
                                  << 0x000;
    QTest::newRow("API on")
        << QByteArray("POST") << "/api/on" << QByteArray(R"({"outlets": [1, "router"]})") << 200
        << QByteArray(R"("outlets":[{"name":null,"number":1,"on":true},{"name":"router","number":3,"on":true}])")
        << 0x005;
    QTest::newRow("API toggle") << QByteArray("POST") << "/api/toggle" << QByteArray(R"({"outlets": [1]})") << 200
                                << QByteArray(R"("word":4)") << 0x004;
    QTest::newRow("API cycle") << QByteArray("POST") << "/api/cycle"
                               << QByteArray(R"({"outlets": ["router"], "off_time": 0.2})") << 200
                               << QByteArray(R"("word":4)") << 0x004;
    QTest::newRow("API all-on") << QByteArray("POST") << "/api/all-on" << QByteArray() << 200
                                << QByteArray(R"("word":4095)") << 0xfff;
    QTest::newRow("API off") << QByteArray("POST") << "/api/off" << QByteArray(R"({"outlets": [12]})") << 200
                             << QByteArray(R"("word":2047)") << 0x7ff;
    QTest::newRow("API all-off") << QByteArray("POST") << "/api/all-off" << QByteArray("{}") << 200
                                 << QByteArray(R"("word":0)") << 0x000;
    QTest::newRow("API reset") << QByteArray("POST") << "/api/reset" << QByteArray() << 200
                               << QByteArray(R"("answers_after_reset":true)") << 0x000;
    QTest::newRow("API status of some") << QByteArray("GET") << "/api/status?outlets=router,5" << QByteArray() << 200
                                        << QByteArray(R"("number":3,"on":false},{"name":null,"number":5)") << 0x000;
    QTest::newRow("API status: answering")
        << QByteArray("GET") << "/api/status" << QByteArray() << 200 << QByteArray(R"("answering":true)") << 0x000;
    QTest::newRow("API on without outlets")
        << QByteArray("POST") << "/api/on" << QByteArray("{}") << 400 << QByteArray(R"(give the outlets)") << 0x000;
    QTest::newRow("API cycle, off-time too long")
        << QByteArray("POST") << "/api/cycle" << QByteArray(R"({"outlets": [3], "off_time": 90000})") << 400
        << QByteArray(R"("off_time\" must be seconds from 0 to 86400)") << 0x000;
    QTest::newRow("nothing there") << QByteArray("GET") << "/api/nothing" << QByteArray() << 404
                                   << QByteArray(R"(there is nothing at /api/nothing)") << 0x000;
}

void TestServeProcess::endpoints()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(int, word);

    const HttpAnswer got = httpCall(manager_, method, server_->url(path), body);
    QCOMPARE(got.status, status);
    if (path.startsWith("/outlet/") && status == 200)
        QCOMPARE(got.body, answer);
    else
        QVERIFY2(got.body.contains(answer), got.body.constData());
    QCOMPARE(boardWord(manager_, *server_), word);
}

void TestServeProcess::twelveClients()
{
    // Each client switches its own outlet twenty times, on and off, each
    // switch sent when the one before was answered; all twelve at once.
    constexpr int Rounds = 20;
    std::vector<std::unique_ptr<QNetworkAccessManager>> clients;
    QList<int> done(12, 0);
    QStringList wrong;
    std::function<void(int)> next = [&](int outlet) {
        const QByteArray state = done[outlet - 1] % 2 == 0 ? "1" : "0";
        QNetworkReply* reply = clients[std::size_t(outlet - 1)]->put(
            QNetworkRequest(QUrl(server_->url(QString("/outlet/%1").arg(outlet)))), state);
        connect(reply, &QNetworkReply::finished, this, [&, reply, outlet, state] {
            const QByteArray body = reply->readAll();
            if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200 || body != state)
                wrong << QString("outlet %1, %2: %3").arg(outlet).arg(QString(state), QString(body));
            reply->deleteLater();
            if (++done[outlet - 1] < Rounds)
                next(outlet);
        });
    };
    for (int outlet = 1; outlet <= 12; ++outlet) {
        clients.push_back(std::make_unique<QNetworkAccessManager>());
        next(outlet);
    }
    QVERIFY(QTest::qWaitFor([&] { return std::all_of(done.cbegin(), done.cend(), [](int n) { return n == Rounds; }); },
                            120000));
    QCOMPARE(wrong, QStringList{});
    QCOMPARE(boardWord(manager_, *server_), 0x000);
}

void TestServeProcess::deviceGoneAndBack()
{
    QTemporaryDir links;
    const QString link = links.filePath("board");
    auto sim = std::make_unique<SimProcess>(QStringList{"--link", link});
    ServeProcess server({"--port", link, "--listen", "127.0.0.1:0", "--no-token"});
    QVERIFY2(server.serving(), qPrintable(server.log()));
    QCOMPARE(httpCall(manager_, "PUT", server.url("/outlet/2"), "1").status, 200);

    sim.reset();
    HttpAnswer gone;
    QTRY_COMPARE((gone = httpCall(manager_, "GET", server.url("/outlet/2"))).status, 503);
    QVERIFY2(gone.body.contains(link.toUtf8()), gone.body.constData());

    sim = std::make_unique<SimProcess>(QStringList{"--link", link, "--word", "2"});
    QTRY_COMPARE_WITH_TIMEOUT(httpCall(manager_, "GET", server.url("/outlet/2")).body, QByteArray("1"), 10000);
    QVERIFY2(server.log().contains("the board answers again"), qPrintable(server.log()));
}

void TestServeProcess::silentBoard()
{
    SimProcess sim({"--silent"});
    ServeProcess server({"--port", sim.device(), "--listen", "127.0.0.1:0", "--timeout", "50", "--no-token"});
    QVERIFY2(server.serving(), qPrintable(server.log()));
    for (int attempt = 0; attempt < 2; ++attempt) {
        const HttpAnswer answer = httpCall(manager_, "PUT", server.url("/outlet/1"), "1");
        QCOMPARE(answer.status, 503);
        QVERIFY2(answer.body.contains("the board did not answer the status query"), answer.body.constData());
    }
    QCOMPARE(server.end(), 0);
}

namespace {

// CPU time the process has used so far, in clock ticks.
qint64 cpuTicks(pid_t pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // utime and stime are the 14th and 15th fields; the 2nd, the name, is in parentheses.
    const QList<QByteArray> fields = stat.readAll().split(')').last().simplified().split(' ');
    return fields.size() > 12 ? fields[11].toLongLong() + fields[12].toLongLong() : -1;
}

}  // namespace

void TestServeProcess::outOfFileHandles_data()
{
    QTest::addColumn<bool>("together");  // all connections wait before the server accepts any

    // QTcpServer stops accepting for good when running out of handles is its
    // listening socket's first error; after another error (an EAGAIN, which
    // every server meets) it takes it for a passing one and tries accept()
    // again at once, for as long as the handles are used up.
    QTest::newRow("connections that wait together") << true;
    QTest::newRow("connections one after another") << false;
}

void TestServeProcess::outOfFileHandles()
{
    QFETCH(bool, together);

    // The server's file handles limited to those it has open and four more
    // (the sanitizers' build needs a pipe at its first connection).
    SimProcess sim({});
    ServeProcess server({"--port", sim.device(), "--listen", "127.0.0.1:0", "--no-token"});
    QVERIFY2(server.serving(), qPrintable(server.log()));
    const auto pid = pid_t(server.pid());
    rlimit limit{};
    QCOMPARE(::prlimit(pid, RLIMIT_NOFILE, nullptr, &limit), 0);
    // Sockets, pipes and the like are links to nothing: only QDir::System lists them.
    const auto handles =
        QDir(QString("/proc/%1/fd").arg(pid)).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    limit.rlim_cur = rlim_t(handles.size() + 4);
    QCOMPARE(::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr), 0);

    // More connections than it has handles for, each with a request; some
    // are answered, the others wait.
    // What the server has open, and what it said, for a failure's report.
    const auto handlesAndLog = [&] {
        QStringList open;
        for (const QFileInfo& handle : QDir(QString("/proc/%1/fd").arg(pid))
                                           .entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
            open << handle.fileName() + "=" + handle.symLinkTarget();
        return QString("limit %1, open: %2\n%3").arg(limit.rlim_cur).arg(open.join(' '), server.log());
    };
    const QUrl url(server.url());
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    QSet<const QTcpSocket*> answered;
    const auto connectOne = [&] {
        clients.push_back(std::make_unique<QTcpSocket>());
        const QTcpSocket* client = clients.back().get();
        connect(client, &QTcpSocket::readyRead, this, [&answered, client] { answered.insert(client); });
        clients.back()->connectToHost(QHostAddress::LocalHost, quint16(url.port()));
        QVERIFY(clients.back()->waitForConnected(5000));
        clients.back()->write("GET /outlet/1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        QVERIFY(clients.back()->waitForBytesWritten(5000));
    };
    if (together) {
        ::kill(pid, SIGSTOP);
        for (int i = 0; i < 8; ++i)
            connectOne();
        ::kill(pid, SIGCONT);
        QVERIFY2(QTest::qWaitFor([&] { return !answered.isEmpty(); }), qPrintable(handlesAndLog()));
    } else {
        do
            connectOne();
        while (clients.size() < 8 && QTest::qWaitFor([&] { return answered.contains(clients.back().get()); }, 2000));
    }
    QVERIFY2(answered.size() < 8, "the server had file handles for every connection");

    // Meanwhile it does not spin: over a second and a half it uses far less
    // than a second of CPU.
    const qint64 before = cpuTicks(pid);
    QTest::qWait(1500);
    QVERIFY2(cpuTicks(pid) - before < ::sysconf(_SC_CLK_TCK) / 2, "the server spins while it has no file handles");

    // Once the connections are closed, their handles are free again; a new
    // connection (none is kept alive from before) is accepted.
    answered.clear();
    clients.clear();
    QNetworkAccessManager fresh;
    QVERIFY2(httpCall(fresh, "GET", server.url("/outlet/1")).status == 200, qPrintable(handlesAndLog()));
    QVERIFY2(server.log().contains("not accepting connections for now: "), qPrintable(server.log()));
    QCOMPARE(server.end(), 0);
}

void TestServeProcess::stopped_data()
{
    QTest::addColumn<bool>("service");  // RUNTIME_DIRECTORY set, as systemd's RuntimeDirectory= sets it
    QTest::newRow("address file in $XDG_RUNTIME_DIR/tavrin") << false;
    QTest::newRow("address file in a service's $RUNTIME_DIRECTORY") << true;
}

void TestServeProcess::stopped()
{
    QFETCH(bool, service);
    QTemporaryDir serviceFolder;
    QProcessEnvironment environment;
    if (service)
        environment.insert("RUNTIME_DIRECTORY", serviceFolder.path());
    SimProcess sim({});
    ServeProcess server({"--port", sim.device(), "--listen", "127.0.0.1:0", "--no-token"}, "3=router\n", environment);
    const QString folder = service ? serviceFolder.path() : server.runtimeFolder();
    QVERIFY2(server.serving(), qPrintable(server.log()));
    QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 1);
    if (service)
        QCOMPARE(QDir(server.runtimeFolder()).entryList(QDir::Files), QStringList{});

    QCOMPARE(server.end(SIGTERM), 0);
    QVERIFY2(server.log().contains("SIGTERM: stopping"), qPrintable(server.log()));
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{});
    QSerialPort port(sim.device());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
}

void TestServeProcess::anotherAccount_data()
{
    QTest::addColumn<QString>("attempt");  // what the account nobody tries
    QTest::addColumn<QString>("outcome");  // what it gets

    QTest::newRow("HTTP without the token") << "http"
                                            << "401";
    QTest::newRow("HTTP with the token it was given") << "http-token"
                                                      << "200";
    QTest::newRow("the server's local socket") << "socket"
                                               << "PermissionError";
}

// A server run by hand with its defaults lets no other account of the machine
// switch, unless that account is given the token.
void TestServeProcess::anotherAccount()
{
    QFETCH(QString, attempt);
    QFETCH(QString, outcome);
    if (::geteuid() != 0)
        QSKIP("needs root, to run a client as nobody");

    SimProcess sim({});
    ServeProcess server({"--port", sim.device(), "--listen", "127.0.0.1:0"});
    QVERIFY2(server.serving(), qPrintable(server.log()));
    const QStringList tokens = QDir(server.runtimeFolder()).entryList({"serve-*.token"});
    const QStringList sockets = QDir(server.runtimeFolder()).entryList({"serve-*.sock"}, QDir::System);
    QCOMPARE(tokens.size(), 1);
    QCOMPARE(sockets.size(), 1);
    QFile tokenFile(server.runtimeFolder() + "/" + tokens.first());
    QVERIFY(tokenFile.open(QIODevice::ReadOnly));
    const QString token = QString::fromLatin1(tokenFile.readAll().trimmed());

    // A client in Python, as nobody with no groups: it prints the HTTP status,
    // or the error connecting to the socket gave.
    const QString client = R"(
import socket, sys, urllib.error, urllib.request
attempt, url, token, path = sys.argv[1:5]
if attempt == "socket":
    try:
        socket.socket(socket.AF_UNIX).connect(path)
        print("connected")
    except OSError as error:
        print(type(error).__name__)
    sys.exit(0)
request = urllib.request.Request(url + "outlet/1", data=b"1", method="PUT")
if attempt == "http-token":
    request.add_header("Authorization", "Bearer " + token)
try:
    print(urllib.request.urlopen(request, timeout=10).status)
except urllib.error.HTTPError as error:
    print(error.code)
)";
    QProcess nobody;
    nobody.setChildProcessModifier([] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(125);
    });
    nobody.start("/usr/bin/python3",
                 {"-c", client, attempt, server.url(), token, server.runtimeFolder() + "/" + sockets.first()});
    QVERIFY2(nobody.waitForFinished(30000), qPrintable(nobody.errorString()));
    QCOMPARE(QString::fromUtf8(nobody.readAllStandardOutput()).trimmed(), outcome);
    // Only the row given the token switched outlet 1.
    if (outcome == "200")
        QTRY_VERIFY(sim.commands().contains("s00p"));
    else
        QVERIFY(!sim.commands().contains("s00p"));
}

QTEST_GUILESS_MAIN(TestServeProcess)
#include "tst_serve_process.moc"
