// The panel's adapter over orvessa's client of a server: a server that wants
// a token the panel lacks brings the token dialog once, against a small HTTP
// server on loopback that speaks the server's routes.
#include "client_board_server.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {

// Answers GET /api/status and GET /api/events (one state event, then the
// stream stays open), 401 to a request without the right token when one is
// needed; records each request's path and Authorization header.
class FakeHttpServer : public QObject {
public:
    explicit FakeHttpServer(QByteArray token) : token_(std::move(token))
    {
        server_.listen(QHostAddress::LocalHost);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(*socket); });
            }
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(server_.serverPort())); }
    QStringList requests;  // "GET /api/status Bearer x"

private:
    void serve(QTcpSocket& socket)
    {
        QByteArray& buffer = buffers_[&socket];
        buffer += socket.readAll();
        qsizetype end;
        while ((end = buffer.indexOf("\r\n\r\n")) >= 0) {
            const QList<QByteArray> lines = buffer.left(end).split('\n');
            buffer.remove(0, end + 4);
            QByteArray auth;
            qsizetype length = 0;
            for (const QByteArray& line : lines) {
                const QByteArray lower = line.toLower();
                if (lower.startsWith("authorization:"))
                    auth = line.mid(14).trimmed();
                if (lower.startsWith("content-length:"))
                    length = line.mid(15).trimmed().toLongLong();
            }
            buffer.remove(0, length);
            const QList<QByteArray> start = lines.value(0).trimmed().split(' ');
            const QByteArray path = start.value(1);
            requests << QString::fromLatin1(start.value(0) + ' ' + path + ' ' + auth).trimmed();
            if (!token_.isEmpty() && auth != "Bearer " + token_)
                answer(socket, "401 Unauthorized", "application/json", R"({"error": "this server needs its token"})");
            else if (path == "/api/events")
                socket.write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n\r\n"
                             "event: state\ndata: {\"word\": 3, \"answering\": true}\n\n");
            else
                answer(socket, "200 OK", "application/json", R"({"word": 3, "answering": true})");
        }
    }
    static void answer(QTcpSocket& socket, const QByteArray& status, const QByteArray& type, const QByteArray& body)
    {
        socket.write("HTTP/1.1 " + status + "\r\nContent-Type: " + type +
                     "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    }

    QByteArray token_;
    QTcpServer server_;
    QHash<QTcpSocket*, QByteArray> buffers_;
};

}  // namespace

class TestClientBoardServer : public QObject {
    Q_OBJECT
private slots:
    void tokenIsAskedOnce_data()
    {
        QTest::addColumn<QByteArray>("needed");  // the server's token; empty: none
        QTest::addColumn<QString>("given");      // from --token-file; empty: none
        QTest::addColumn<bool>("dialog");        // the token may be asked for
        QTest::addColumn<QString>("typed");      // what the operator types
        QTest::addColumn<int>("asked");          // times the dialog was shown
        QTest::addColumn<bool>("connected");     // a state event came, nothing was lost
        QTest::newRow("no token needed") << QByteArray() << "" << true << "" << 0 << true;
        QTest::newRow("typed in the dialog") << QByteArray("s3cret") << "" << true << "s3cret" << 1 << true;
        QTest::newRow("a wrong one typed") << QByteArray("s3cret") << "" << true << "guess" << 1 << false;
        QTest::newRow("dialog cancelled") << QByteArray("s3cret") << "" << true << "" << 1 << false;
        QTest::newRow("from the token file") << QByteArray("s3cret") << "s3cret" << false << "" << 0 << true;
        QTest::newRow("a wrong token file") << QByteArray("s3cret") << "guess" << false << "" << 0 << false;
    }
    void tokenIsAskedOnce()
    {
        QFETCH(QByteArray, needed);
        QFETCH(QString, given);
        QFETCH(bool, dialog);
        QFETCH(QString, typed);
        QFETCH(int, asked);
        QFETCH(bool, connected);
        FakeHttpServer http(needed);
        ServedBoardClient::Address address;
        address.url = http.url();
        address.token = given;
        int shown = 0;
        ClientBoardServer::AskToken ask;
        if (dialog)
            ask = [&shown, typed] {
                ++shown;
                return typed;
            };
        ClientBoardServer server(address, ask);
        QSignalSpy states(&server, &BoardServer::state);
        QSignalSpy lost(&server, &BoardServer::lost);
        server.start();
        QTRY_VERIFY_WITH_TIMEOUT(!states.isEmpty() || !lost.isEmpty(), 10000);
        QCOMPARE(shown, asked);
        QCOMPARE(states.isEmpty(), !connected);
        QCOMPARE(lost.isEmpty(), connected);
        if (connected)
            QCOMPARE(states.first().first().toJsonObject().value("word").toInt(), 3);
        else
            QVERIFY2(lost.first().first().toString().contains("401"), qPrintable(lost.first().first().toString()));
        server.stop();
    }
};

QTEST_MAIN(TestClientBoardServer)
#include "tst_client_board_server.moc"
