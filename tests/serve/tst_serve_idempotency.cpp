// orvessa serve's switching requests with an Idempotency-Key: a request sent
// again with the key of one done before, or being done, is answered as that
// one was and reaches the board once; a malformed key is refused before the
// board, requests without a key are done as they come, and the keys kept
// are bounded.
#include "guarded_socket.h"
#include "http_bench.h"
#include "idempotency_keys.h"

#include <memory>

class TestServeIdempotency : public QObject {
    Q_OBJECT
private slots:
    void sameKey_data();
    void sameKey();
    void forgotten_data();
    void forgotten();
};

namespace {

// POST /api/toggle of outlet 3; `key` is the Idempotency-Key's value, or
// "(none)" for no such header.
QByteArray toggle(const QByteArray& key)
{
    const QByteArray body = R"({"outlets": [3]})";
    QByteArray request = "POST /api/toggle HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Type: application/json\r\n";
    if (key != "(none)")
        request += "Idempotency-Key: " + key + "\r\n";
    return request + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// Requests of the bench's connections handed to the board queue, or waiting
// for the answer of another, and not answered yet.
int waiting(HttpBench& bench)
{
    int count = 0;
    for (const GuardedSocket* socket : bench.http->findChildren<GuardedSocket*>())
        count += socket->queuedRequests();
    return count;
}

}  // namespace

void TestServeIdempotency::sameKey_data()
{
    QTest::addColumn<QByteArray>("firstKey");
    QTest::addColumn<QByteArray>("secondKey");
    QTest::addColumn<bool>("together");  // the second sent while the first is on the wire
    QTest::addColumn<int>("status");     // of both
    QTest::addColumn<int>("toggles");    // "s02p" written to the board
    QTest::addColumn<bool>("sameAnswer");

    const QByteArray uuid = "6f1c2a9e-3b7d-4e21-9a55-0c8d7e4f1b23";
    QTest::newRow("same key in turn: done once") << uuid << uuid << false << 200 << 1 << true;
    QTest::newRow("same key together: done once") << uuid << uuid << true << 200 << 1 << true;
    QTest::newRow("128 characters: done once")
        << QByteArray(128, 'k') << QByteArray(128, 'k') << false << 200 << 1 << true;
    QTest::newRow("different keys: done twice") << uuid << QByteArray("another-key") << false << 200 << 2 << false;
    QTest::newRow("no key: done twice") << QByteArray("(none)") << QByteArray("(none)") << false << 200 << 2 << false;
    QTest::newRow("empty key: refused") << QByteArray() << QByteArray() << false << 400 << 0 << true;
    QTest::newRow("129 characters: refused")
        << QByteArray(129, 'k') << QByteArray(129, 'k') << false << 400 << 0 << true;
    QTest::newRow("a space inside: refused")
        << QByteArray("two words") << QByteArray("two words") << false << 400 << 0 << true;
    QTest::newRow("not ASCII: refused") << QByteArray("cl\xc3\xa9") << QByteArray("cl\xc3\xa9") << false << 400 << 0
                                        << true;
}

void TestServeIdempotency::sameKey()
{
    QFETCH(QByteArray, firstKey);
    QFETCH(QByteArray, secondKey);
    QFETCH(bool, together);
    QFETCH(int, status);
    QFETCH(int, toggles);
    QFETCH(bool, sameAnswer);

    HttpBench bench;
    QStringList log;
    QObject::connect(&*bench.http, &BoardHttpServer::logLine, [&log](const QString& line) { log << line; });
    HttpBench::Answer first;
    HttpBench::Answer second;
    if (together) {
        // The first's read stays on the wire until the second waits too,
        // each on a connection of its own.
        bench.board.hold = true;
        QByteArray received[2];
        std::unique_ptr<QTcpSocket> sockets[2];
        const QByteArray requests[2] = {toggle(firstKey), toggle(secondKey)};
        for (int i = 0; i < 2; ++i) {
            const int before = bench.board.reads;
            sockets[i] = std::make_unique<QTcpSocket>();
            QTcpSocket* socket = sockets[i].get();
            QObject::connect(socket, &QTcpSocket::readyRead,
                             [&received, socket, i] { received[i] += socket->readAll(); });
            socket->connectToHost(QHostAddress::LocalHost, bench.port);
            socket->write(QByteArray(requests[i]).replace("{port}", QByteArray::number(bench.port)));
            if (i == 0)
                QVERIFY(QTest::qWaitFor([&] { return bench.board.reads > before; }, 5000));
        }
        QVERIFY(QTest::qWaitFor([&] { return waiting(bench) == 2; }, 5000));
        bench.board.hold = false;
        QVERIFY(QTest::qWaitFor([&] { return HttpBench::whole(received[0]) && HttpBench::whole(received[1]); }, 5000));
        first = HttpBench::answers(received[0]).value(0);
        second = HttpBench::answers(received[1]).value(0);
    } else {
        first = bench.send(toggle(firstKey));
        second = bench.send(toggle(secondKey));
    }

    QCOMPARE(first.status, status);
    QCOMPARE(second.status, status);
    QCOMPARE(int(bench.switched().count("s02p")), toggles);
    QCOMPARE(first.body == second.body, sameAnswer);
    if (status == 400)
        QVERIFY2(first.body.contains("Idempotency-Key"), first.body.constData());
    // The log tells a repeat from a request done.
    const bool repeated = status == 200 && toggles == 1;
    QCOMPARE(int(log.filter("answered from the first request").size()), repeated ? 1 : 0);
}

// Which keys are remembered: at most 1024, the oldest forgotten first, and
// none whose request never reached the board, so that its client may retry.
void TestServeIdempotency::forgotten_data()
{
    QTest::addColumn<int>("others");  // keys that come after the first one
    QTest::addColumn<bool>("done");   // the first one's request reached the board
    QTest::addColumn<bool>("known");  // the first key, sent again, is a repeat

    QTest::newRow("1023 keys after it: kept") << 1023 << true << true;
    QTest::newRow("1024 keys after it: forgotten") << 1024 << true << false;
    QTest::newRow("not done: forgotten at once") << 0 << false << false;
}

void TestServeIdempotency::forgotten()
{
    QFETCH(int, others);
    QFETCH(bool, done);
    QFETCH(bool, known);

    Http::IdempotencyKeys keys;
    int repeats = 0;
    const auto repeat = [&repeats](const Http::Reply&) { ++repeats; };
    const auto mayWait = [] { return true; };
    const auto first = keys.arrived("first", repeat, mayWait);
    QVERIFY(first);
    keys.settle(*first, Http::error(503, "full"), done);
    for (int i = 0; i < others; ++i)
        QVERIFY(keys.arrived(QByteArray::number(i), repeat, mayWait));
    QVERIFY(keys.size() <= 1024);
    QCOMPARE(!keys.arrived("first", repeat, mayWait), known);
    QCOMPARE(repeats, known ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestServeIdempotency)
#include "tst_serve_idempotency.moc"
