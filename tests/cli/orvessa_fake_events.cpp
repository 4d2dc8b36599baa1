// A stand-in for orvessa serve's local socket, for testing orvessa watch
// without the server: it publishes an address file for DEVICE in
// $XDG_RUNTIME_DIR/tavrin as the server does, greets each connection, answers
// a status request with WORD, and turns a connection that asks for the events
// into a stream: first the state WORD, then every line read from standard
// input. "quit" on standard input ends it, its file removed, as a server
// stopping does. Its name starts with "orvessa", as a server's program does.
//
//   orvessa-fake-events DEVICE WORD
#include "report.h"
#include "serve_rendezvous.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

namespace {

QByteArray line(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n'; }

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3)
        return 2;
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

    const QJsonObject state = Cli::Report::statusObject({device, device}, word, Cli::allOutlets(), {});
    QList<QLocalSocket*> streams;  // owned by the server (Qt parent)
    QObject::connect(&server, &QLocalServer::newConnection, [&] {
        while (QLocalSocket* socket = server.nextPendingConnection()) {
            socket->write(line({{"orvessa_serve", 1}, {"pid", pid}, {"device", device}}));
            QObject::connect(socket, &QLocalSocket::disconnected, socket, [&streams, socket] {
                streams.removeAll(socket);
                socket->deleteLater();
            });
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [&streams, &state, socket] {
                while (socket->canReadLine()) {
                    const QJsonObject request = QJsonDocument::fromJson(socket->readLine()).object();
                    if (request.value("path").toString() == QLatin1String("/api/events")) {
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
        }
    });
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
