// A stand-in for orvessa serve's local socket, for testing orvessa watch
// without the server: it publishes an address file for DEVICE in
// $XDG_RUNTIME_DIR/tavrin as the server does, greets each connection, answers
// a status request with WORD, and turns a connection that asks for the events
// into a stream: first the state WORD, then every line read from standard
// input. "quit" on standard input ends it, its file removed, as a server
// stopping does. Its name starts with "orvessa", as a server's program does.
// MODE "no-events" refuses the stream as a server without one does; "http"
// serves the same over HTTP on a loopback port it prints, as Server-Sent
// Events, to requests that carry the token in $FAKE_TOKEN.
//
//   orvessa-fake-events DEVICE WORD [MODE]
#include "report.h"
#include "serve_rendezvous.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>
#include <unistd.h>

namespace {

QByteArray line(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n'; }

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 3)
        return 2;
    const QString mode = args.value(3);
    const QString device = args.at(1);
    const auto word = std::uint16_t(args.at(2).toInt());
    const QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/tavrin");
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QLocalServer server;
    const qint64 pid = QCoreApplication::applicationPid();
    if (!server.listen(QStringLiteral("%1/serve-%2.sock").arg(folder).arg(pid)))
        return 3;
    ServeRendezvous::Server entry;
    entry.url = QStringLiteral("http://127.0.0.1:9/");
    entry.pid = pid;
    entry.port = entry.path = entry.device = device;
    entry.socket = server.fullServerName();
    QFile file(folder + QLatin1Char('/') + ServeRendezvous::fileName(device));
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(entry.toJson()).toJson()) < 0)
        return 3;
    file.close();

    const QJsonObject state = Driver::Report::statusObject({device, device}, word, Driver::allOutlets(), {});
    QList<QLocalSocket*> streams;  // owned by the server (Qt parent)
    QObject::connect(&server, &QLocalServer::newConnection, [&] {
        while (QLocalSocket* socket = server.nextPendingConnection()) {
            socket->write(line({{"orvessa_serve", 1}, {"pid", pid}, {"device", device}}));
            QObject::connect(socket, &QLocalSocket::disconnected, socket, [&streams, socket] {
                streams.removeAll(socket);
                socket->deleteLater();
            });
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [&streams, &state, &mode, socket] {
                while (socket->canReadLine()) {
                    const QJsonObject request = QJsonDocument::fromJson(socket->readLine()).object();
                    if (request.value("path").toString() == QLatin1String("/api/events") &&
                        mode == QLatin1String("no-events")) {
                        socket->write(line({{"status", 404}, {"body", "{\"error\":\"no events here\"}"}}));
                    } else if (request.value("path").toString() == QLatin1String("/api/events")) {
                        streams << socket;
                        socket->write(line({{"event", "state"}, {"data", state}}));
                    } else {
                        socket->write(
                            line({{"status", 200}, {"body", QString::fromUtf8(QJsonDocument(state).toJson())}}));
                    }
                }
            });
        }
    });

    // HTTP: each request's head read whole, the token checked.
    QTcpServer web;
    QList<QTcpSocket*> webStreams;  // owned by the server (Qt parent)
    const QByteArray token = qgetenv("FAKE_TOKEN");
    if (mode == QLatin1String("http") && !web.listen(QHostAddress::LocalHost))
        return 3;
    QObject::connect(&web, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* socket = web.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::disconnected, socket, [&webStreams, socket] {
                webStreams.removeAll(socket);
                socket->deleteLater();
            });
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
                if (!socket->property("head").toByteArray().isNull() || !socket->canReadLine())
                    return;
                const QByteArray head = socket->readAll();
                socket->setProperty("head", head);
                if (!head.contains("\r\nAuthorization: Bearer " + token + "\r\n")) {
                    const QByteArray body = "{\"error\":\"the token is missing or wrong\",\"status\":2}";
                    socket->write("HTTP/1.1 401 Unauthorized\r\nContent-Type: application/json\r\nContent-Length: " +
                                  QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                    socket->disconnectFromHost();
                } else if (head.startsWith("GET /api/events")) {
                    webStreams << socket;
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n\r\nevent: state\ndata: " +
                                  QJsonDocument(state).toJson(QJsonDocument::Compact) + "\n\n");
                } else {
                    const QByteArray body = QJsonDocument(state).toJson(QJsonDocument::Compact);
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                                  QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                }
            });
        }
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof(buffer));
        if (got <= 0) {
            input.setEnabled(false);
            return;
        }
        pending.append(buffer, got);
        while (pending.contains('\n')) {
            const QByteArray next = pending.left(pending.indexOf('\n'));
            pending.remove(0, next.size() + 1);
            if (next == "quit") {
                file.remove();
                QCoreApplication::quit();
                return;
            }
            for (QLocalSocket* stream : streams)
                stream->write(next + '\n');
            const QJsonObject event = QJsonDocument::fromJson(next).object();
            for (QTcpSocket* stream : webStreams)
                stream->write("event: " + event.value("event").toString().toUtf8() + "\ndata: " +
                              QJsonDocument(event.value("data").toObject()).toJson(QJsonDocument::Compact) + "\n\n");
        }
    });
    if (mode == QLatin1String("http"))
        std::printf("ready %d\n", int(web.serverPort()));
    else
        std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
