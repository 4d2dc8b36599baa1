// ServedBoardClient against small fake servers in this process, on loopback
// and a local socket: the event stream read from pieces of any size, its
// bounds, requests whose connection ends, a hello naming another device, and
// where the token goes.
#include "served_board_client.h"
#include "server_exchange.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace {

const QString FakeDevice = QStringLiteral("/dev/ttyFAKE0");

QByteArray hello(const QString& device)
{
    return QJsonDocument(
               QJsonObject{{"orvessa_serve", 1}, {"pid", QCoreApplication::applicationPid()}, {"device", device}})
               .toJson(QJsonDocument::Compact) +
           '\n';
}

// Writes `pieces` one after another, each on a later turn of the event loop,
// so that the client reads them apart.
void writeApart(QIODevice* socket, const QList<QByteArray>& pieces)
{
    for (qsizetype i = 0; i < pieces.size(); ++i)
        QTimer::singleShot(int(30 * (i + 1)), socket, [socket, piece = pieces[i]] { socket->write(piece); });
}

// orvessa serve's local socket as far as the client needs it: the hello, then
// `onLine` for each line a connection sends.
struct FakeLocalServer {
    QTemporaryDir folder;
    QLocalServer server;
    QString device = FakeDevice;
    std::function<void(QLocalSocket*, const QByteArray&)> onLine;
    QList<QByteArray> received;

    FakeLocalServer()
    {
        server.listen(folder.filePath("serve.sock"));
        QObject::connect(&server, &QLocalServer::newConnection, [this] {
            while (QLocalSocket* socket = server.nextPendingConnection()) {
                socket->write(hello(device));
                QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                    while (socket->canReadLine()) {
                        const QByteArray line = socket->readLine().trimmed();
                        received << line;
                        if (onLine)
                            onLine(socket, line);
                    }
                });
            }
        });
    }

    ServedBoardClient::Address address() const
    {
        return {server.fullServerName(), QCoreApplication::applicationPid(), FakeDevice, QUrl(), {}};
    }
};

// An HTTP server that keeps each request's head and answers with `respond`.
struct FakeHttpServer {
    QTcpServer server;
    QList<QByteArray> heads;
    std::function<void(QTcpSocket*, const QByteArray&)> respond;

    FakeHttpServer()
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                    *buffer += socket->readAll();
                    const qsizetype end = buffer->indexOf("\r\n\r\n");
                    if (end < 0)
                        return;
                    const QByteArray head = buffer->left(end);
                    buffer->remove(0, end + 4);
                    heads << head;
                    if (respond)
                        respond(socket, head);
                });
            }
        });
    }

    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort())); }
};

const QByteArray StreamHead = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nConnection: close\r\n\r\n";

// What the client passed on: "NAME {json}" per event, "lost: why" at the end.
struct Heard {
    QStringList events;
    QString lost;
    bool connected = false;

    explicit Heard(ServedBoardClient& client)
    {
        const auto note = [this](const char* name) {
            return [this, name](const QJsonObject& data) {
                events << QString::fromLatin1(name) + ' ' +
                              QString::fromUtf8(QJsonDocument(data).toJson(QJsonDocument::Compact));
            };
        };
        QObject::connect(&client, &ServedBoardClient::state, &client, note("state"));
        QObject::connect(&client, &ServedBoardClient::change, &client, note("change"));
        QObject::connect(&client, &ServedBoardClient::link, &client, note("link"));
        QObject::connect(&client, &ServedBoardClient::connected, &client, [this] { connected = true; });
        QObject::connect(&client, &ServedBoardClient::lost, &client, [this](const QString& why) { lost = why; });
    }
};

const QByteArray Oversized(1024 * 1024 + 100, 'x');

}  // namespace

class TestCliServedClient : public QObject {
    Q_OBJECT
private slots:
    void eventStream_data();
    void eventStream();
    void requestEnds_data();
    void requestEnds();
    void token_data();
    void token();
    void resentWithItsKey_data();
    void resentWithItsKey();
};

// The stream, as it arrives in pieces: events whole however the bytes are
// split, multi-line data joined, comments skipped, and a line over 1 MiB ends
// the stream instead of filling the memory.
void TestCliServedClient::eventStream_data()
{
    QTest::addColumn<bool>("http");
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("lost");  // part of why the stream ended; empty: it goes on

    QTest::newRow("sse event split across reads")
        << true << QList<QByteArray>{"event: sta", "te\ndata: {\"wo", "rd\":4}\n", "\n"}
        << QStringList{"state {\"word\":4}"} << "";
    QTest::newRow("sse data over several lines")
        << true << QList<QByteArray>{"event: change\ndata: {\"asked\":\"on\",\ndata: \"word\":4}\n\n"}
        << QStringList{"change {\"asked\":\"on\",\"word\":4}"} << "";
    QTest::newRow("sse comments skipped")
        << true
        << QList<QByteArray>{": keep-alive\n\n", "event: link\n: a comment\ndata: {\"open\":true}\n\n",
                             ": keep-alive\n\n"}
        << QStringList{"link {\"open\":true}"} << "";
    QTest::newRow("sse lines ended by CRLF")
        << true
        << QList<QByteArray>{"event: state\r\ndata: {\"word\":1}\r\n\r\nevent: state\r\n", "data: {\"word\":2}\r\n\r\n"}
        << QStringList{"state {\"word\":1}", "state {\"word\":2}"} << "";
    QTest::newRow("sse line over 1 MiB")
        << true << QList<QByteArray>{"event: state\ndata: {\"word\":1}\n\nevent: state\ndata: ", Oversized}
        << QStringList{"state {\"word\":1}"} << "longer than 1048576 bytes";
    QTest::newRow("sse event over 1 MiB in short lines")
        << true
        << QList<QByteArray>{"event: state\n", QByteArray("data: ") + QByteArray(600 * 1024, 'x') + '\n',
                             QByteArray("data: ") + QByteArray(600 * 1024, 'x') + '\n'}
        << QStringList{} << "an event is longer";
    QTest::newRow("local line split across reads")
        << false
        << QList<QByteArray>{"{\"event\":\"sta", "te\",\"data\":{\"word\":4}}\n{\"event\":\"link\",",
                             "\"data\":{\"open\":false}}\n"}
        << QStringList{"state {\"word\":4}", "link {\"open\":false}"} << "";
    QTest::newRow("local line over 1 MiB")
        << false << QList<QByteArray>{"{\"event\":\"state\",\"data\":{\"word\":1}}\n", Oversized}
        << QStringList{"state {\"word\":1}"} << "longer than 1048576 bytes";
    QTest::newRow("local stream refused")
        << false << QList<QByteArray>{"{\"status\":503,\"body\":\"{\\\"error\\\":\\\"too many streams\\\"}\"}\n"}
        << QStringList{} << "too many streams";
}

void TestCliServedClient::eventStream()
{
    QFETCH(bool, http);
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QStringList, events);
    QFETCH(QString, lost);

    FakeHttpServer web;
    FakeLocalServer local;
    QVERIFY(web.server.isListening() && local.server.isListening());
    web.respond = [&](QTcpSocket* socket, const QByteArray&) {
        socket->write(StreamHead);
        writeApart(socket, pieces);
    };
    local.onLine = [&](QLocalSocket* socket, const QByteArray&) { writeApart(socket, pieces); };
    ServedBoardClient client(http ? ServedBoardClient::Address{{}, 0, {}, web.url(), {}} : local.address());
    Heard heard(client);
    client.start();

    QTRY_VERIFY_WITH_TIMEOUT(heard.connected, 5000);
    if (lost.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(heard.events.size(), events.size(), 5000);
        QTest::qWait(100);  // and nothing more, nor an end
        QVERIFY2(heard.lost.isEmpty(), qPrintable(heard.lost));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!heard.lost.isEmpty(), 5000);
        QVERIFY2(heard.lost.contains(lost), qPrintable(heard.lost));
    }
    QCOMPARE(heard.events, events);
    if (!http)
        QCOMPARE(local.received.value(0), "{\"body\":\"\",\"method\":\"GET\",\"path\":\"/api/events\",\"query\":\"\"}");
}

// A request whose connection ends: answered once with status 0, saying the
// outcome is unknown when it had been sent, and that the server cannot be
// reached when it had not; a server whose hello names another device is sent
// nothing.
void TestCliServedClient::requestEnds_data()
{
    QTest::addColumn<QString>("server");  // "local", "http", "other device", "none"
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");     // part of the answer's error
    QTest::addColumn<int>("requestsSeen");  // -1: not counted (Qt sends a request again on a connection
                                            // closed before any answer, which the client cannot prevent)

    QTest::newRow("local closed after the request") << "local" << 0 << "outcome is unknown" << 1;
    QTest::newRow("http closed after the request") << "http" << 0 << "outcome is unknown" << -1;
    QTest::newRow("local answered") << "local answers" << 200 << "" << 1;
    QTest::newRow("hello naming another device") << "other device" << 0 << "it serves /dev/ttyOTHER now" << 0;
    QTest::newRow("no server") << "none" << 0 << "cannot be reached" << 0;
}

void TestCliServedClient::requestEnds()
{
    QFETCH(QString, server);
    QFETCH(int, status);
    QFETCH(QString, error);
    QFETCH(int, requestsSeen);

    FakeHttpServer web;
    FakeLocalServer local;
    QVERIFY(web.server.isListening() && local.server.isListening());
    web.respond = [](QTcpSocket* socket, const QByteArray&) { socket->close(); };
    local.onLine = [&server](QLocalSocket* socket, const QByteArray&) {
        if (server == QLatin1String("local answers"))
            socket->write("{\"status\":200,\"body\":\"{\\\"word\\\":4}\"}\n");
        else
            socket->close();
    };
    if (server == QLatin1String("other device"))
        local.device = QStringLiteral("/dev/ttyOTHER");
    ServedBoardClient::Address address =
        server == QLatin1String("http") ? ServedBoardClient::Address{{}, 0, {}, web.url(), {}} : local.address();
    if (server == QLatin1String("none"))
        address.socketPath = local.folder.filePath("nothing.sock");
    ServedBoardClient client(address);

    int answers = 0;
    ServedBoardClient::Answer answer;
    client.request("POST", "/api/on", QJsonObject{{"outlets", QJsonArray{3}}},
                   [&](const ServedBoardClient::Answer& given) {
                       ++answers;
                       answer = given;
                   });
    QTRY_COMPARE_WITH_TIMEOUT(answers, 1, 5000);
    QTest::qWait(100);  // and only once
    QCOMPARE(answers, 1);
    QCOMPARE(answer.status, status);
    QVERIFY2(answer.error.contains(error), qPrintable(answer.error));
    if (status == 200)
        QCOMPARE(answer.body.value("word").toInt(), 4);
    if (requestsSeen >= 0)
        QCOMPARE(int(local.received.size()), requestsSeen);
}

// The token goes with every request to the server's URL, the stream too, and
// nowhere else: a redirect to another server is not followed.
void TestCliServedClient::token_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<bool>("redirect");

    QTest::newRow("token to the URL") << "secret-token" << false;
    QTest::newRow("no token given, none sent") << "" << false;
    QTest::newRow("redirect not followed") << "secret-token" << true;
}

void TestCliServedClient::token()
{
    QFETCH(QString, token);
    QFETCH(bool, redirect);

    FakeHttpServer web;
    FakeHttpServer elsewhere;
    QVERIFY(web.server.isListening() && elsewhere.server.isListening());
    elsewhere.respond = [](QTcpSocket* socket, const QByteArray&) {
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}");
    };
    web.respond = [&](QTcpSocket* socket, const QByteArray& head) {
        if (redirect) {
            socket->write("HTTP/1.1 302 Found\r\nLocation: " + elsewhere.url().toEncoded() +
                          "api/status\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
        } else if (head.startsWith("GET /api/events")) {
            socket->write(StreamHead + "event: state\ndata: {\"word\":0}\n\n");
        } else {
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\n{\"word\":0}");
        }
    };
    ServedBoardClient client({{}, 0, {}, web.url(), token});
    Heard heard(client);
    int status = -1;
    client.request("GET", "/api/status", {},
                   [&status](const ServedBoardClient::Answer& answer) { status = answer.status; });
    client.start();
    QTRY_VERIFY_WITH_TIMEOUT(status >= 0 && (redirect ? !heard.lost.isEmpty() : !heard.events.isEmpty()), 5000);

    QCOMPARE(status, redirect ? 302 : 200);
    QCOMPARE(web.heads.size(), 2);
    for (const QByteArray& head : web.heads)
        QCOMPARE(head.contains("\r\nAuthorization: Bearer " + token.toUtf8() + "\r\n"), !token.isEmpty());
    QCOMPARE(elsewhere.heads.size(), 0);
}

// Qt sends a request again when its connection closed before any answer:
// the resend carries the first's Idempotency-Key, so that orvessa serve
// answers it as the first instead of switching again.
void TestCliServedClient::resentWithItsKey_data()
{
    QTest::addColumn<bool>("blocking");  // orvessa --server's askServer, or ServedBoardClient

    QTest::newRow("ServedBoardClient: resent with the same key") << false;
    QTest::newRow("askServer: resent with the same key") << true;
}

void TestCliServedClient::resentWithItsKey()
{
    QFETCH(bool, blocking);

    FakeHttpServer web;
    QVERIFY(web.server.isListening());
    web.respond = [&web](QTcpSocket* socket, const QByteArray&) {
        if (web.heads.size() == 1)
            return socket->close();
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\n{\"word\":4}");
    };
    int status = -1;
    if (blocking) {
        status =
            Driver::askServer(web.url(), {}, {"POST", QStringLiteral("api/on"), {}, R"({"outlets":[3]})"}, 5000, false)
                .status;
    } else {
        ServedBoardClient client({{}, 0, {}, web.url(), {}});
        client.request("POST", "/api/on", QJsonObject{{"outlets", QJsonArray{3}}},
                       [&status](const ServedBoardClient::Answer& answer) { status = answer.status; });
        QTRY_VERIFY_WITH_TIMEOUT(status >= 0, 5000);
    }

    // Qt's resend is its own doing; the client cannot prevent it.
    QCOMPARE(web.heads.size(), 2);
    QCOMPARE(status, 200);
    QList<QByteArray> keys;
    for (const QByteArray& head : web.heads)
        for (const QByteArray& line : head.split('\n'))
            if (line.toLower().startsWith("idempotency-key:"))
                keys << line.mid(16).trimmed();
    QCOMPARE(keys.size(), 2);
    QCOMPARE(keys[0], keys[1]);
    QCOMPARE(keys[0].size(), 36);  // a UUID without braces
}

QTEST_GUILESS_MAIN(TestCliServedClient)
#include "tst_cli_served_client.moc"
