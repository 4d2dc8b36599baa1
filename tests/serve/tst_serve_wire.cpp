#include "http_bench.h"

#include <QtTest>

// orvessa serve while the board's exchange is on the wire: everything that
// needs no wire is answered at once, and what needs it waits its turn.
class TestServeWire : public QObject {
    Q_OBJECT
private slots:
    void whileOnTheWire_data();
    void whileOnTheWire();
};

namespace {

const QByteArray Token = "s3cret-token";
const QByteArray Bearer = "Authorization: Bearer " + Token + "\r\n";

QByteArray request(const QByteArray& line, const QByteArray& headers = Bearer, const QByteArray& body = {})
{
    return line + " HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n" + headers +
           "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// A connection of the test's own, its answer collected as it comes.
struct Pending {
    Pending(quint16 port, QByteArray bytes)
    {
        bytes.replace("{port}", QByteArray::number(port));
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.write(bytes);
    }
    bool answered() const { return HttpBench::whole(received); }
    QTcpSocket socket;
    QByteArray received;
};

}  // namespace

void TestServeWire::whileOnTheWire_data()
{
    QTest::addColumn<QByteArray>("asked");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("waits");  // for the switch on the wire: it came after it

    QTest::newRow("the page") << request("GET /") << 200 << false;
    QTest::newRow("no token") << request("PUT /outlet/5", {}, "1") << 401 << false;
    QTest::newRow("another origin") << request("PUT /outlet/5", Bearer + "Origin: http://attacker.example\r\n", "1")
                                    << 403 << false;
    QTest::newRow("no such route") << request("GET /nothing") << 404 << false;
    QTest::newRow("a bad body") << request("PUT /outlet/5", Bearer, "on") << 400 << false;
    QTest::newRow("too large") << request("PUT /outlet/5", Bearer, QByteArray(9000, '1')) << 413 << false;
    QTest::newRow("a status of the outlet switched") << request("GET /outlet/3") << 200 << true;
}

void TestServeWire::whileOnTheWire()
{
    QFETCH(QByteArray, asked);
    QFETCH(int, status);
    QFETCH(bool, waits);

    HttpBench bench(Token);
    QTRY_VERIFY(bench.queue->answering());
    // The switch's first read stays on the wire until let go.
    const int readsBefore = bench.board.reads;
    bench.board.hold = true;
    Pending put(bench.port, request("PUT /outlet/3", Bearer, "1"));
    QTRY_VERIFY(bench.board.reads > readsBefore);

    Pending other(bench.port, asked);
    if (!waits) {
        QVERIFY(QTest::qWaitFor([&] { return other.answered(); }, 5000));
        QVERIFY2(!put.answered(), "the switch was answered before its exchange ended");
    }
    bench.board.hold = false;
    QVERIFY(QTest::qWaitFor([&] { return put.answered() && other.answered(); }, 5000));
    QCOMPARE(HttpBench::answers(other.received).value(0).status, status);
    QCOMPARE(HttpBench::answers(put.received).value(0).status, 200);
    // What came after the switch sees it.
    if (waits)
        QCOMPARE(HttpBench::answers(other.received).value(0).body.trimmed(), "1");
    QCOMPARE(bench.switched(), QByteArrayList{"s02p"});
}

QTEST_GUILESS_MAIN(TestServeWire)
#include "tst_serve_wire.moc"
