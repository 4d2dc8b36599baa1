#include "local_server_exchange.h"

#include "local_server_check.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

namespace Driver {

namespace {

constexpr int ConnectMs = 2000;
constexpr int HelloMs = 2000;
constexpr qint64 LargestLine = 64 * 1024;

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
    if (const QString other = notTheServer(socket.socketDescriptor(), server.socket, server.pid); !other.isEmpty()) {
        result.why = other;
        return result;
    }
    const QJsonObject hello = QJsonDocument::fromJson(readLine(socket, wait, HelloMs)).object();
    if (!wait.signal().isEmpty()) {
        result.end = ServerReply::End::Interrupted;
        result.why = wait.signal();
        return result;
    }
    if (const QString refusal = helloRefusal(hello, server.pid, server.devices); !refusal.isEmpty()) {
        result.why = refusal;
        return result;
    }

    socket.write(requestLine(request));
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

}  // namespace Driver
