#include "local_server_exchange.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

#include <sys/socket.h>
#include <sys/stat.h>

namespace Cli {

namespace {

constexpr int ConnectMs = 2000;
constexpr int HelloMs = 2000;
constexpr qint64 LargestLine = 64 * 1024;

// Why the process at the other end is not the server the address file
// names; empty when it is.
QString notTheServer(const QLocalSocket& socket, const LocalServerTarget& server)
{
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return QStringLiteral("its peer cannot be known");
    struct stat file {};
    if (::stat(QFile::encodeName(server.socket).constData(), &file) != 0)
        return QStringLiteral("%1 is gone").arg(server.socket);
    if (peer.pid != server.pid || peer.uid != file.st_uid)
        return QStringLiteral("process %1 listens at %2, not the server's process %3")
            .arg(peer.pid)
            .arg(server.socket)
            .arg(server.pid);
    return {};
}

// Waits for one line, up to LargestLine; empty when none came whole.
QByteArray readLine(QLocalSocket& socket, ReplyWait& wait, int waitMs)
{
    const auto whole = [&socket] { return socket.canReadLine() || socket.bytesAvailable() > LargestLine; };
    if (!whole() && socket.state() == QLocalSocket::ConnectedState) {
        const QMetaObject::Connection arrived = QObject::connect(&socket, &QLocalSocket::readyRead, &wait.loop(), [&] {
            if (whole())
                wait.loop().quit();
        });
        const QMetaObject::Connection ended =
            QObject::connect(&socket, &QLocalSocket::disconnected, &wait.loop(), &QEventLoop::quit);
        wait.run(waitMs);
        QObject::disconnect(arrived);
        QObject::disconnect(ended);
    }
    if (!socket.canReadLine())
        return {};
    return socket.readLine(LargestLine).trimmed();
}

}  // namespace

ServerReply askLocalServer(const LocalServerTarget& server, const ServerRequest& request, int waitMs,
                           bool catchStopSignals)
{
    ServerReply result;
    ReplyWait wait(catchStopSignals);
    QLocalSocket socket;
    socket.connectToServer(server.socket);
    if (!socket.waitForConnected(ConnectMs)) {
        result.why = socket.errorString();
        if (socket.error() == QLocalSocket::SocketAccessError) {
            result.end = ServerReply::End::NotAllowed;
            result.why = QStringLiteral("permission denied");
        }
        return result;
    }
    if (const QString other = notTheServer(socket, server); !other.isEmpty()) {
        result.why = other;
        return result;
    }
    const QJsonObject hello = QJsonDocument::fromJson(readLine(socket, wait, HelloMs)).object();
    if (!wait.signal().isEmpty()) {
        result.end = ServerReply::End::Interrupted;
        result.why = wait.signal();
        return result;
    }
    if (hello.value(QStringLiteral("orvessa_serve")).toInt() != 1 ||
        hello.value(QStringLiteral("pid")).toInteger() != server.pid) {
        result.why = QStringLiteral("it did not say which board it serves");
        return result;
    }
    if (const QString device = hello.value(QStringLiteral("device")).toString();
        !server.devices.isEmpty() && !server.devices.contains(device)) {
        result.why = QStringLiteral("it serves %1 now").arg(device);
        return result;
    }

    const QJsonObject line{
        {QStringLiteral("method"), QString::fromLatin1(request.method)},
        {QStringLiteral("path"), QLatin1Char('/') + request.path},
        {QStringLiteral("query"), request.query.toString(QUrl::FullyEncoded)},
        {QStringLiteral("body"), QString::fromUtf8(request.body)},
    };
    socket.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    socket.flush();
    // From here on the server may have acted on the request.
    const QByteArray answerLine = readLine(socket, wait, waitMs);
    const QJsonObject answer = QJsonDocument::fromJson(answerLine).object();
    if (answer.value(QStringLiteral("status")).isDouble()) {
        result.end = ServerReply::End::Answered;
        result.status = answer.value(QStringLiteral("status")).toInt();
        result.body = answer.value(QStringLiteral("body")).toString().toUtf8();
    } else if (!wait.endedEarly(result)) {
        result.end = ServerReply::End::Lost;
        result.why = answerLine.isEmpty() ? QStringLiteral("the server closed the connection")
                                          : QStringLiteral("the server's answer was not understood");
    }
    socket.abort();
    return result;
}

}  // namespace Cli
