// orvessa serve's HTTP layer against clients that send requests faster than
// they read the answers: what the server holds for one connection stays
// bounded, and a client that pipelines and reads late still gets every
// answer, in order.
#include "guarded_socket.h"
#include "http_bench.h"

#include <QDeadlineTimer>
#include <QPointer>

#include <functional>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class TestServeBacklog : public QObject {
    Q_OBJECT
private slots:
    void unread_data();
    void unread();
    void pipelined_data();
    void pipelined();
};

namespace {

const QByteArray Token = "s3cret-token";

// The system's buffers for the connection made small on both ends, so that
// what the server keeps unsent, or leaves unread, shows after a few KiB
// instead of a few MiB.
constexpr int SystemBuffer = 4096;

HttpLimits smallLimits()
{
    HttpLimits limits;
    limits.holdUnsentBytes = 16 * 1024;
    limits.maxUnsentBytes = 1024 * 1024;
    limits.stuckMs = 1500;
    return limits;
}

// A connection to the bench with small buffers in the system on both sides.
// The client's socket takes no more than a byte from the system until told
// otherwise.
struct SmallConnection {
    explicit SmallConnection(HttpBench& bench)
    {
        const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
        ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &SystemBuffer, sizeof SystemBuffer);
        ::setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &SystemBuffer, sizeof SystemBuffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(bench.port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            !client.setSocketDescriptor(descriptor)) {
            ::close(descriptor);
            return;
        }
        client.setReadBufferSize(1);
        QTcpServer* listening = bench.http->servers().first();
        if (!QTest::qWaitFor([&] { return !listening->findChildren<GuardedSocket*>().isEmpty(); }))
            return;
        server = listening->findChildren<GuardedSocket*>().first();
        server->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, SystemBuffer);
        server->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, SystemBuffer);
    }

    QTcpSocket client;
    QPointer<GuardedSocket> server;
};

// Runs the event loop until `done` or `ms` have passed, without the pauses
// of QTest::qWaitFor: the server parses one pipelined request per pass.
bool spinUntil(const std::function<bool()>& done, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents();
    }
    return true;
}

QByteArray get(const QByteArray& target) { return "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n"; }

}  // namespace

void TestServeBacklog::unread_data()
{
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("count");  // sent in all
    QTest::addColumn<bool>("held");  // more answers than holdUnsentBytes: the server stops reading

    // A few MiB of answers, or (the last) less than the bound but more than
    // the system's buffers take.
    QTest::newRow("status, answered through the queue") << QByteArray() << get("/api/status") << 6000 << true;
    QTest::newRow("401 before any token is checked") << Token << get("/api/status") << 10000 << true;
    QTest::newRow("the page's script, answered at once") << QByteArray() << get("/page.js") << 2000 << true;
    QTest::newRow("the page's script twice") << QByteArray() << get("/page.js") << 2 << false;
}

void TestServeBacklog::unread()
{
    QFETCH(QByteArray, token);
    QFETCH(QByteArray, request);
    QFETCH(int, count);
    QFETCH(bool, held);

    // The client sends its requests 4 KiB at a time, each once the server has
    // taken the last, and never reads.
    const HttpLimits limits = smallLimits();
    HttpBench bench(token, limits);
    QStringList closed;
    connect(&*bench.http, &BoardHttpServer::logLine, this, [&closed](const QString& line) {
        if (line.contains("connection closed"))
            closed << line;
    });
    SmallConnection connection(bench);
    QVERIFY(connection.server);
    const QByteArray chunk = request.repeated(qMin(count, int(4096 / request.size())));
    const qint64 allowed = limits.holdUnsentBytes + 64 * 1024;  // the answers already on their way
    qint64 most = 0;
    int sent = 0;
    int elsewhere = 0;  // what another client gets meanwhile
    QVERIFY(QTest::qWaitFor(
        [&] {
            if (!connection.server)
                return true;
            most = qMax(most, connection.server->bytesToWrite());
            if (most > 0 && elsewhere == 0)
                elsewhere = bench.send(get("/outlet/3")).status;
            if (sent < count && connection.client.bytesToWrite() == 0 && connection.server->bytesAvailable() == 0) {
                connection.client.write(chunk);
                sent += int(chunk.size() / request.size());
            }
            return most > allowed;
        },
        20000));
    QVERIFY2(most <= allowed, qPrintable(QString("%1 bytes unsent after %2 requests").arg(most).arg(sent)));
    QCOMPARE(elsewhere, token.isEmpty() ? 200 : 401);
    // It stopped reading, so that the client could not send them all, and
    // closed the connection as stuck; the server goes on.
    if (held)
        QVERIFY2(sent < count || connection.client.bytesToWrite() > 0, "the server read every request");
    QVERIFY(!connection.server);
    QCOMPARE(closed.size(), 1);
    QVERIFY2(closed.first().contains("took none of"), qPrintable(closed.first()));
    QCOMPARE(bench.send(get("/outlet/3")).status, token.isEmpty() ? 200 : 401);
}

void TestServeBacklog::pipelined_data()
{
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<QByteArray>("target");  // "%1": the outlet of the request, 1 to 12 in turn
    QTest::addColumn<int>("count");          // sent in one write: more than 8 KiB, more than the read buffer takes
    QTest::addColumn<int>("status");

    QTest::newRow("status of each outlet in turn")
        << QByteArray() << QByteArray("/api/status?outlets=%1") << 600 << 200;
    QTest::newRow("401 before any token is checked") << Token << QByteArray("/api/status?outlets=%1") << 600 << 401;
    QTest::newRow("the page") << QByteArray() << QByteArray("/") << 600 << 200;
}

void TestServeBacklog::pipelined()
{
    QFETCH(QByteArray, token);
    QFETCH(QByteArray, target);
    QFETCH(int, count);
    QFETCH(int, status);

    // All requests in one write; the client reads nothing until the server
    // holds more unsent than its bound, then reads everything. Each may wait
    // for the board here.
    HttpLimits limits = smallLimits();
    // All of them may wait together: the server reads on while the board's read is on the wire.
    limits.maxQueuedPerConnection = limits.maxQueued = count;
    HttpBench bench(token, limits);
    SmallConnection connection(bench);
    QVERIFY(connection.server);
    QByteArray requests;
    for (int i = 0; i < count; ++i)
        requests += get(QString::fromLatin1(target).arg(i % 12 + 1).toLatin1());
    connection.client.write(requests);
    QVERIFY(spinUntil([&] { return !connection.server || connection.server->bytesToWrite() >= limits.holdUnsentBytes; },
                      10000));
    QVERIFY2(connection.server, "the server closed the connection");

    QByteArray received;
    connection.client.setReadBufferSize(0);
    connection.client.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1 << 20);
    qsizetype answered = 0;
    QVERIFY(spinUntil(
        [&] {
            if (connection.client.bytesAvailable() > 0) {
                received += connection.client.readAll();
                answered = HttpBench::answers(received).size();
            }
            return answered >= count || connection.client.state() != QAbstractSocket::ConnectedState;
        },
        30000));
    const QList<HttpBench::Answer> answers = HttpBench::answers(received);
    QCOMPARE(answers.size(), count);
    for (int i = 0; i < count; ++i) {
        QCOMPARE(answers[i].status, status);
        if (status == 200 && target.contains("outlets"))
            QVERIFY2(answers[i].body.contains(R"("outlets":[{"name":)") &&
                         answers[i].body.contains(",\"number\":" + QByteArray::number(i % 12 + 1) + ","),
                     answers[i].body.constData());
    }
    QVERIFY(connection.server);
}

QTEST_GUILESS_MAIN(TestServeBacklog)
#include "tst_serve_backlog.moc"
