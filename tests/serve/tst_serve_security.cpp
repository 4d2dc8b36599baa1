// orvessa serve's HTTP layer against requests it must refuse: each refused
// request leaves the board as it was (the model board receives no command
// but status queries), and what each client may cost is bounded.
#include "http_bench.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <memory>
#include <vector>

class TestServeSecurity : public QObject {
    Q_OBJECT
private slots:
    void refused_data();
    void refused();
    void bounded_data();
    void bounded();
    void waiting_data();
    void waiting();
};

namespace {

const QByteArray Token = "s3cret-token";

// A connection of the test's own, its bytes collected as they come.
struct Client {
    explicit Client(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    QTcpSocket socket;
    QByteArray received;
};

QByteArray basic(const QByteArray& credentials) { return "Authorization: Basic " + credentials.toBase64() + "\r\n"; }

// PUT /outlet/3 with the body 1 and the given header lines (each ending in
// \r\n); `host` is the Host header's value, none when empty.
QByteArray put(const QByteArray& host, const QByteArray& headers, const QByteArray& body = "1",
               const QByteArray& target = "PUT /outlet/3")
{
    QByteArray request = target + " HTTP/1.1\r\n";
    if (!host.isEmpty())
        request += "Host: " + host + "\r\n";
    return request + headers + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

void TestServeSecurity::refused_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("header");  // a header line the answer must have
    QTest::addColumn<bool>("switches");      // the one row where every check passes

    const QByteArray self = "127.0.0.1:{port}";
    const QByteArray token = basic(":" + Token);
    QTest::newRow("every check passes") << put(self, token) << 200 << QByteArray() << true;
    QTest::newRow("token as Basic password, any user")
        << put(self, basic("lab:" + Token)) << 200 << QByteArray() << true;
    QTest::newRow("token as Bearer") << put(self, "Authorization: Bearer " + Token + "\r\n") << 200 << QByteArray()
                                     << true;
    QTest::newRow("token missing") << put(self, "") << 401 << QByteArray("WWW-Authenticate: Basic") << false;
    QTest::newRow("token missing, the page's request")
        << put(self, "X-Requested-With: orvessa-page\r\n") << 401 << QByteArray("WWW-Authenticate: Bearer") << false;
    QTest::newRow("the page needs no token")
        << put(self, "", "", "GET /") << 200 << QByteArray("Content-Security-Policy: default-src 'self'") << false;
    QTest::newRow("nor its script") << put(self, "", "", "GET /page.js") << 200
                                    << QByteArray("Content-Type: text/javascript") << false;
    QTest::newRow("Basic, wrong password") << put(self, basic(":wrong")) << 401 << QByteArray() << false;
    QTest::newRow("Basic, token as user name") << put(self, basic(Token + ":")) << 401 << QByteArray() << false;
    QTest::newRow("Basic, not base64") << put(self, "Authorization: Basic %%%\r\n") << 401 << QByteArray() << false;
    QTest::newRow("Bearer, wrong") << put(self, "Authorization: Bearer wrong\r\n") << 401 << QByteArray() << false;
    QTest::newRow("Bearer, the token's start")
        << put(self, "Authorization: Bearer " + Token.left(6) + "\r\n") << 401 << QByteArray() << false;
    QTest::newRow("host: another name") << put("attacker.example:{port}", token) << 403 << QByteArray() << false;
    QTest::newRow("host: a rebinding name") << put("127.0.0.1.nip.io:{port}", token) << 403 << QByteArray() << false;
    QTest::newRow("host: another port") << put("127.0.0.1:1", token) << 403 << QByteArray() << false;
    QTest::newRow("host: none") << put("", token) << 403 << QByteArray() << false;
    QTest::newRow("host: localhost") << put("localhost:{port}", token) << 200 << QByteArray() << true;
    QTest::newRow("host: the machine's name") << put("BenchHost:{port}", token) << 200 << QByteArray() << true;
    QTest::newRow("host: --allow-host") << put("rack.example", token) << 200 << QByteArray() << true;
    QTest::newRow("origin: another site")
        << put(self, token + "Origin: http://attacker.example\r\n") << 403 << QByteArray() << false;
    QTest::newRow("origin: null") << put(self, token + "Origin: null\r\n") << 403 << QByteArray() << false;
    QTest::newRow("origin: this host, another port")
        << put(self, token + "Origin: http://127.0.0.1:1\r\n") << 403 << QByteArray() << false;
    QTest::newRow("origin: its own") << put(self, token + "Origin: http://127.0.0.1:{port}\r\n") << 200 << QByteArray()
                                     << true;
    QTest::newRow("method: POST to an outlet")
        << put(self, token, "1", "POST /outlet/3") << 405 << QByteArray("Allow: GET, PUT") << false;
    QTest::newRow("method: DELETE") << put(self, token, "", "DELETE /outlet/3") << 405 << QByteArray() << false;
    QTest::newRow("method: GET /api/on") << put(self, token, R"({"outlets":[3]})", "GET /api/on") << 405
                                         << QByteArray("Allow: POST") << false;
    QTest::newRow("GET with a body reads only")
        << put(self, token, "1", "GET /outlet/3") << 200 << QByteArray() << false;
    QTest::newRow("GET with a query reads only")
        << put(self, token, "", "GET /outlet/3?state=1") << 200 << QByteArray() << false;
    QTest::newRow("body: not 1 or 0") << put(self, token, "on") << 400 << QByteArray() << false;
    QTest::newRow("body: 11") << put(self, token, "11") << 400 << QByteArray() << false;
    QTest::newRow("body: over 8 KiB") << put(self, token, QByteArray(9000, '1')) << 413
                                      << QByteArray("Connection: close") << false;
    QTest::newRow("headers: over 8 KiB") << put(self, token + "X-Pad: " + QByteArray(9000, 'x') + "\r\n") << 413
                                         << QByteArray() << false;
    QTest::newRow("upgrade is not served") << put(self, token, "", "POST /api/upgrade") << 404 << QByteArray() << false;
    const QByteArray websocket = "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n";
    QTest::newRow("PUT asking for a WebSocket") << put(self, token + websocket) << 400 << QByteArray() << false;
    QTest::newRow("POST asking for a WebSocket")
        << put(self, token + websocket, R"({"outlets":[3]})", "POST /api/on") << 400 << QByteArray() << false;
    QTest::newRow("GET asking for a WebSocket")
        << put(self, token + websocket, "", "GET /outlet/3") << 400 << QByteArray() << false;
    QTest::newRow("Upgrade without Connection: Upgrade")
        << put(self, token + "Upgrade: websocket\r\n") << 400 << QByteArray() << false;
    QTest::newRow("PUT asking for HTTP/2")
        << put(self,
               token + "Upgrade: h2c\r\nConnection: Upgrade, HTTP2-Settings\r\nHTTP2-Settings: AAMAAABkAAQAAP__\r\n")
        << 400 << QByteArray() << false;
}

void TestServeSecurity::refused()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, header);
    QFETCH(bool, switches);

    HttpBench bench(Token);
    const HttpBench::Answer answer = bench.send(request);
    QCOMPARE(answer.status, status);
    QVERIFY2(answer.head.contains(header), answer.head.constData());
    QVERIFY2(!answer.head.contains("Access-Control-"), answer.head.constData());
    QCOMPARE(bench.switched(), switches ? QByteArrayList{"s02p"} : QByteArrayList{});
    // One answer; a refusal says why in JSON.
    QVERIFY2(!answer.body.contains("HTTP/1.1 "), answer.body.constData());
    if (status >= 400)
        QVERIFY2(QJsonDocument::fromJson(answer.body).object().value("error").isString(), answer.body.constData());
}

void TestServeSecurity::bounded_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<QStringList>("held");  // addresses of connections held open before, from 127.0.0.1 unless said
    QTest::addColumn<int>("status");        // 0: closed without an answer
    QTest::addColumn<int>("elsewhere");     // what a request from another address gets meanwhile

    // At most 4 connections, 3 from one address.
    const QStringList none;
    QTest::newRow("one connection more than the limit")
        << "request" << QStringList{"127.0.0.2", "127.0.0.2", "127.0.0.3", "127.0.0.3"} << 503 << 503;
    QTest::newRow("one more from an address that has its share")
        << "request" << QStringList{"127.0.0.1", "127.0.0.1", "127.0.0.1"} << 503 << 200;
    QTest::newRow("a request that never ends") << "slow" << none << 408 << 200;
    QTest::newRow("a connection that sends nothing") << "idle" << none << 0 << 200;
    QTest::newRow("bytes that are not HTTP") << "garbage" << none << 0 << 200;
}

void TestServeSecurity::bounded()
{
    QFETCH(QString, client);
    QFETCH(QStringList, held);
    QFETCH(int, status);
    QFETCH(int, elsewhere);

    HttpLimits limits;
    limits.maxConnections = 4;
    limits.maxConnectionsPerPeer = 3;
    limits.requestMs = 300;
    limits.idleMs = 3000;
    HttpBench bench({}, limits);
    std::vector<std::unique_ptr<QTcpSocket>> holding;
    for (const QString& address : held) {
        holding.push_back(std::make_unique<QTcpSocket>());
        QVERIFY(holding.back()->bind(QHostAddress(address)));
        holding.back()->connectToHost(QHostAddress::LocalHost, bench.port);
    }
    QVERIFY(QTest::qWaitFor(
        [&] { return bench.http->servers().first()->findChildren<QTcpSocket*>().size() == held.size(); }));
    const QByteArray request = client == "slow"      ? "PUT /outlet/3 HTTP/1.1\r\nHost: localhost\r\nContent-Len"
                               : client == "garbage" ? QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\r\n\r\n", 14)
                               : client == "idle"    ? QByteArray()
                                                     : "GET /outlet/3 HTTP/1.1\r\nHost: localhost\r\n\r\n";
    const HttpBench::Answer answer = bench.send(request, 10000);
    QCOMPARE(answer.status, status);
    QCOMPARE(bench.switched(), QByteArrayList{});
    const QByteArray get = "GET /outlet/3 HTTP/1.1\r\nHost: localhost\r\n\r\n";
    QCOMPARE(bench.send(get, 5000, QHostAddress("127.0.0.4")).status, elsewhere);
    // The server goes on.
    holding.clear();
    QTRY_COMPARE(bench.send(get).status, 200);
}

void TestServeSecurity::waiting_data()
{
    QTest::addColumn<int>("perConnection");  // HttpLimits: requests of one connection waiting for the board
    QTest::addColumn<int>("all");            // of all connections together
    QTest::addColumn<QList<int>>("sent");    // cycles sent by each connection in turn, pipelined
    QTest::addColumn<QList<int>>("turnedAway");
    QTest::addColumn<int>("statusElsewhere");  // what a status on one more connection gets

    QTest::newRow("one connection, more than its own bound") << 4 << 256 << QList<int>{6} << QList<int>{2} << 200;
    QTest::newRow("three connections, more than the bound of all")
        << 4 << 6 << QList<int>{4, 3, 2} << QList<int>{0, 1, 2} << 503;
}

void TestServeSecurity::waiting()
{
    QFETCH(int, perConnection);
    QFETCH(int, all);
    QFETCH(QList<int>, sent);
    QFETCH(QList<int>, turnedAway);
    QFETCH(int, statusElsewhere);

    // Cycles with a minute's off-time wait in the queue for the whole test;
    // each on its own outlet, all on before, so that each cycle that reaches
    // the queue switches its outlet off: one command each.
    HttpLimits limits;
    limits.maxQueuedPerConnection = perConnection;
    limits.maxQueued = all;
    HttpBench bench({}, limits);
    QCOMPARE(bench.send("POST /api/all-on HTTP/1.1\r\nHost: localhost\r\n\r\n").status, 200);
    const qsizetype switchedBefore = bench.switched().size();
    int turnedAwayLogged = 0;
    connect(&*bench.http, &BoardHttpServer::logLine, this, [&](const QString& line) {
        if (line.contains(": 503 "))
            ++turnedAwayLogged;
    });

    std::vector<std::unique_ptr<Client>> clients;
    int outlet = 0;
    int expectedTurnedAway = 0;
    for (qsizetype c = 0; c < sent.size(); ++c) {
        clients.push_back(std::make_unique<Client>(bench.port));
        for (int i = 0; i < sent[c]; ++i) {
            const QByteArray body = R"({"outlets":[)" + QByteArray::number(++outlet) + R"(],"off_time":60})";
            clients.back()->socket.write("POST /api/cycle HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
                                         QByteArray::number(body.size()) + "\r\n\r\n" + body);
        }
        // Those turned away are answered at once (in the log; on the wire
        // after the answers before them); the others wait.
        expectedTurnedAway += turnedAway[c];
        const int reached = outlet - expectedTurnedAway;
        QVERIFY(QTest::qWaitFor([&] { return bench.switched().size() - switchedBefore == reached; }));
        QVERIFY(QTest::qWaitFor([&] { return turnedAwayLogged == expectedTurnedAway; }));
    }
    QCOMPARE(bench.switched().size() - switchedBefore, qsizetype(outlet - expectedTurnedAway));

    // Refusals are still answered; a status waits its turn or is turned away.
    QCOMPARE(bench.send("GET /api/nothing HTTP/1.1\r\nHost: localhost\r\n\r\n").status, 404);
    QCOMPARE(bench.send("GET /api/status HTTP/1.1\r\nHost: attacker.example\r\n\r\n").status, 403);
    const HttpBench::Answer status = bench.send("GET /api/status HTTP/1.1\r\nHost: localhost\r\n\r\n");
    QCOMPARE(status.status, statusElsewhere);
    QCOMPARE(status.head.contains("\r\nRetry-After: "), statusElsewhere == 503);

    // Stopping the queue answers the cycles that wait, and the answers
    // turned away follow theirs on each connection.
    bool stopped = false;
    bench.queue->stop([&stopped] { stopped = true; });
    for (qsizetype c = 0; c < sent.size(); ++c) {
        Client& client = *clients[std::size_t(c)];
        QVERIFY(QTest::qWaitFor([&] { return HttpBench::answers(client.received).size() == sent[c]; }));
        int retryAfter = 0;
        for (const HttpBench::Answer& answer : HttpBench::answers(client.received)) {
            QCOMPARE(answer.status, 503);
            if (answer.head.contains("\r\nRetry-After: ")) {
                ++retryAfter;
                QVERIFY2(QJsonDocument::fromJson(answer.body).object().value("error").isString(),
                         answer.body.constData());
            }
        }
        QCOMPARE(retryAfter, turnedAway[c]);
    }
    QVERIFY(QTest::qWaitFor([&stopped] { return stopped; }));
}

QTEST_GUILESS_MAIN(TestServeSecurity)
#include "tst_serve_security.moc"
