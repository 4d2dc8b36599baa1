#include "local_server_check.h"

#include <QFile>
#include <QJsonDocument>

#include <sys/socket.h>
#include <sys/stat.h>

namespace Driver {

QString notTheServer(qintptr descriptor, const QString& socketPath, qint64 pid)
{
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return QStringLiteral("its peer cannot be known");
    struct stat file {};
    if (::stat(QFile::encodeName(socketPath).constData(), &file) != 0)
        return QStringLiteral("%1 is gone").arg(socketPath);
    if (peer.pid != pid || peer.uid != file.st_uid)
        return QStringLiteral("process %1 listens at %2, not the server's process %3")
            .arg(peer.pid)
            .arg(socketPath)
            .arg(pid);
    return {};
}

QString helloRefusal(const QJsonObject& hello, qint64 pid, const QStringList& devices)
{
    if (hello.value(QStringLiteral("orvessa_serve")).toInt() != 1 ||
        hello.value(QStringLiteral("pid")).toInteger() != pid)
        return QStringLiteral("it did not say which board it serves");
    if (const QString device = hello.value(QStringLiteral("device")).toString();
        !devices.isEmpty() && !devices.contains(device))
        return QStringLiteral("it serves %1 now").arg(device);
    return {};
}

QByteArray requestLine(const ServerRequest& request)
{
    const QJsonObject line{
        {QStringLiteral("method"), QString::fromLatin1(request.method)},
        {QStringLiteral("path"), QLatin1Char('/') + request.path},
        {QStringLiteral("query"), request.query.toString(QUrl::FullyEncoded)},
        {QStringLiteral("body"), QString::fromUtf8(request.body)},
    };
    return QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
}

}  // namespace Driver
