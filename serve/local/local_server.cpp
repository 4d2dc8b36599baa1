#include "local_server.h"

#include "route.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>
#include <variant>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

Http::Method methodOf(const QString& name)
{
    if (name == QLatin1String("GET"))
        return Http::Method::Get;
    if (name == QLatin1String("PUT"))
        return Http::Method::Put;
    if (name == QLatin1String("POST"))
        return Http::Method::Post;
    return Http::Method::Other;
}

QByteArray line(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n'; }

std::optional<ucred> credentialsOf(const QLocalSocket& socket)
{
    ucred credentials{};
    socklen_t size = sizeof(credentials);
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return std::nullopt;
    return credentials;
}

// "local uid 1000 (process 4242)": who is at the other end, as the kernel says, for the log.
QString peerOf(const std::optional<ucred>& credentials)
{
    if (!credentials)
        return QStringLiteral("local client");
    return QStringLiteral("local uid %1 (process %2)").arg(credentials->uid).arg(credentials->pid);
}

// "local user alice, process 4242": the same for the events' "by".
QString userOf(const std::optional<ucred>& credentials)
{
    if (!credentials)
        return QStringLiteral("local client");
    QString user = QString::number(credentials->uid);
    passwd entry{};
    passwd* found = nullptr;
    std::array<char, 4096> buffer{};
    if (::getpwuid_r(credentials->uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        user = QString::fromLocal8Bit(found->pw_name);
    return QStringLiteral("local user %1, process %2").arg(user).arg(credentials->pid);
}

}  // namespace

struct LocalServer::Client {
    QPointer<QLocalSocket> socket;
    QString peer;
    QString user;        // for the events' "by"
    QByteArray partial;  // the start of a request whose line end has not come
    quint64 nextTicket = 0;
    quint64 nextToWrite = 0;
    std::map<quint64, QByteArray> ready;  // answers waiting for an earlier one
    std::optional<quint64> streamTicket;  // the events were asked for: they follow that answer's place
    bool streaming = false;
    bool dropped = false;  // a stream too far behind, being closed
    quint64 due() const { return nextTicket - nextToWrite; }
};

LocalServer::LocalServer(BoardApi& api, std::function<QJsonObject()> hello, Limits limits, QObject* parent)
    : QObject(parent), api_(api), hello_(std::move(hello)), limits_(limits)
{
    connect(&server_, &QLocalServer::newConnection, this, &LocalServer::accept);
}

LocalServer::~LocalServer() { close(); }

QString LocalServer::listen(const QString& path, int group)
{
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(path))
        return QStringLiteral("cannot listen on %1: %2").arg(path, server_.errorString());
    path_ = path;
    const QByteArray file = QFile::encodeName(path);
    // A service whose group is the device's makes the file in it already, and
    // need not (under its system call filter, may not) change its group.
    struct stat made {};
    const bool ownGroup = ::stat(file.constData(), &made) == 0 && made.st_gid == gid_t(group);
    if (group >= 0 && ((!ownGroup && ::chown(file.constData(), uid_t(-1), gid_t(group)) != 0) ||
                       ::chmod(file.constData(), 0660) != 0)) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        close();
        return QStringLiteral("cannot give %1 to group %2: %3").arg(path).arg(group).arg(why);
    }
    return {};
}

void LocalServer::close()
{
    if (path_.isEmpty())
        return;
    server_.close();  // removes the socket's file
    path_.clear();
    for (auto& [socket, client] : clients_)
        if (client->socket)
            client->socket->abort();
}

void LocalServer::accept()
{
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        socket->setParent(this);
        if (int(clients_.size()) >= limits_.maxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // What Qt reads ahead is bounded; a client that sends on is held back by the kernel.
        socket->setReadBufferSize(2 * limits_.maxLineBytes);
        auto client = std::make_unique<Client>();
        client->socket = socket;
        const std::optional<ucred> credentials = credentialsOf(*socket);
        client->peer = peerOf(credentials);
        client->user = userOf(credentials);
        clients_.emplace(socket, std::move(client));
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (Client* client = clientOf(socket))
                readFrom(*client);
        });
        connect(socket, &QLocalSocket::bytesWritten, this, [this, socket] {
            if (Client* client = clientOf(socket))
                writeReady(*client);
        });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { drop(socket); });
        socket->write(line(hello_()));
    }
}

void LocalServer::readFrom(Client& client)
{
    QLocalSocket* socket = client.socket;
    // A client that does not take its answers is read no further until it does.
    while (socket && socket->bytesToWrite() <= limits_.pauseUnsentBytes && socket->bytesAvailable() > 0) {
        const QByteArray bytes = socket->read(limits_.maxLineBytes);
        client.partial += bytes;
        qsizetype end = -1;
        while ((end = client.partial.indexOf('\n')) >= 0) {
            const QByteArray request = client.partial.left(end);
            client.partial.remove(0, end + 1);
            handleLine(client, request);
            if (!client.socket)
                return;
        }
        if (client.partial.size() > limits_.maxLineBytes) {
            answer(
                client, client.nextTicket++, 413,
                Http::error(413, QStringLiteral("a request is longer than %1 bytes").arg(limits_.maxLineBytes)).body);
            socket->disconnectFromServer();
            return;
        }
    }
}

void LocalServer::handleLine(Client& client, const QByteArray& text)
{
    // A stream's connection carries events only.
    if (client.streamTicket || client.streaming)
        return;
    const quint64 ticket = client.nextTicket++;
    if (client.due() > quint64(limits_.maxPendingAnswers))
        return answer(client, ticket, 503,
                      Http::error(503, QStringLiteral("more than %1 requests of this connection are waiting: wait "
                                                      "for their answers")
                                           .arg(limits_.maxPendingAnswers))
                          .body);
    const QJsonObject request = QJsonDocument::fromJson(text).object();
    const Http::Method method = methodOf(request.value(QStringLiteral("method")).toString());
    const QString path = request.value(QStringLiteral("path")).toString();
    const QByteArray body = request.value(QStringLiteral("body")).toString().toUtf8();
    if (request.isEmpty() || path.isEmpty())
        return answer(
            client, ticket, 400,
            Http::error(400, QStringLiteral("a request is one JSON object with \"method\" and \"path\"")).body);
    const auto routed = Http::route(method, path);
    if (const auto* refused = std::get_if<Http::RouteError>(&routed))
        return answer(client, ticket, refused->status, Http::error(refused->status, refused->message).body);
    if (std::get<Http::Route>(routed).action == Http::Action::Events) {
        const auto streams = std::count_if(clients_.cbegin(), clients_.cend(), [](const auto& entry) {
            return entry.second->streaming || entry.second->streamTicket;
        });
        if (!events_ || streams >= limits_.maxStreams)
            return answer(
                client, ticket, 503,
                Http::error(503, QStringLiteral("%1 event streams are open already: try again later").arg(streams))
                    .body);
        client.streamTicket = ticket;
        return writeInOrder(client);
    }
    QString logText;
    if (Http::changesState(method))
        logText =
            QStringLiteral("%1 %2 %3%4")
                .arg(client.peer, request.value(QStringLiteral("method")).toString(), Http::loggable(path.toUtf8()),
                     body.isEmpty() ? QString() : QLatin1Char(' ') + Http::loggable(body.simplified()));
    QElapsedTimer took;
    took.start();
    const QPointer<QLocalSocket> socket = client.socket;
    try {
        api_.handle(
            std::get<Http::Route>(routed), body, request.value(QStringLiteral("query")).toString(),
            [this, server = QPointer<LocalServer>(this), socket, ticket, logText, took](Http::Reply reply) {
                if (!server)
                    return;
                if (!logText.isEmpty())
                    emit logLine(QStringLiteral("%1: %2 %3 (%4 ms)")
                                     .arg(logText)
                                     .arg(reply.status)
                                     .arg(reply.outcome)
                                     .arg(took.elapsed()));
                if (Client* client = clientOf(socket))
                    answer(*client, ticket, reply.status, reply.body);
            },
            {}, client.user);
    } catch (const std::exception& failure) {
        answer(client, ticket, 500, Http::error(500, QStringLiteral("the server failed: %1").arg(failure.what())).body);
    }
}

void LocalServer::answer(Client& client, quint64 ticket, int status, const QByteArray& body)
{
    client.ready.emplace(ticket, line(QJsonObject{{QStringLiteral("status"), status},
                                                  {QStringLiteral("body"), QString::fromUtf8(body)}}));
    writeInOrder(client);
}

void LocalServer::writeInOrder(Client& client)
{
    for (auto next = client.ready.find(client.nextToWrite); next != client.ready.end();
         next = client.ready.find(client.nextToWrite)) {
        if (client.socket)
            client.socket->write(next->second);
        client.ready.erase(next);
        ++client.nextToWrite;
    }
    if (client.socket && client.socket->bytesToWrite() > limits_.maxUnsentBytes)
        return client.socket->abort();
    if (client.streamTicket == client.nextToWrite) {
        client.streamTicket.reset();
        ++client.nextToWrite;
        startStream(client);
    }
}

void LocalServer::publish(Serve::BoardEvents& events)
{
    events_ = &events;
    connect(&api_, &BoardApi::switched, &events, &Serve::BoardEvents::switched);
    connect(&events, &Serve::BoardEvents::published, this, &LocalServer::sendEvent);
}

void LocalServer::startStream(Client& client)
{
    client.streaming = true;
    if (!events_)
        return;
    if (const std::optional<QJsonObject> state = events_->currentState())
        sendTo(client, Serve::BoardEvents::jsonLine(QStringLiteral("state"), *state));
}

void LocalServer::sendEvent(const QString& name, const QJsonObject& data)
{
    const QByteArray text = Serve::BoardEvents::jsonLine(name, data);
    QList<QPointer<QLocalSocket>> streams;
    for (const auto& [socket, client] : clients_)
        if (client->streaming)
            streams << client->socket;
    // Looked up again for each: sending may drop one.
    for (const QPointer<QLocalSocket>& socket : streams)
        if (Client* client = clientOf(socket))
            sendTo(*client, text);
}

void LocalServer::sendTo(Client& client, const QByteArray& text)
{
    QLocalSocket* socket = client.socket;
    if (!socket || client.dropped || socket->state() != QLocalSocket::ConnectedState)
        return;
    if (socket->bytesToWrite() + text.size() > limits_.streamUnsentBytes) {
        emit logLine(QStringLiteral("%1: event stream dropped: more than %2 bytes wait for its client")
                         .arg(client.peer)
                         .arg(limits_.streamUnsentBytes));
        client.dropped = true;  // told once
        // Not from inside a signal of this socket's own.
        QMetaObject::invokeMethod(socket, &QLocalSocket::abort, Qt::QueuedConnection);
        return;
    }
    socket->write(text);
}

void LocalServer::writeReady(Client& client)
{
    // What was held back while the client did not read.
    if (client.socket && client.socket->bytesToWrite() <= limits_.pauseUnsentBytes &&
        client.socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(
            this,
            [this, socket = client.socket] {
                if (Client* client = clientOf(socket))
                    readFrom(*client);
            },
            Qt::QueuedConnection);
}

LocalServer::Client* LocalServer::clientOf(const QPointer<QLocalSocket>& socket) const
{
    const auto found = socket ? clients_.find(socket.data()) : clients_.end();
    return found == clients_.end() ? nullptr : found->second.get();
}

void LocalServer::drop(QLocalSocket* socket)
{
    // A client may end inside a call that still uses it (an abort while
    // answering): it is forgotten once that call has returned, and before
    // the socket is deleted.
    QMetaObject::invokeMethod(
        this, [this, socket] { clients_.erase(socket); }, Qt::QueuedConnection);
    socket->deleteLater();
}
