#include "served_board_client.h"

#include "event_stream.h"
#include "local_server_check.h"
#include "server_exchange.h"

#include <QJsonDocument>
#include <QLocalSocket>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <deque>
#include <utility>

using namespace Driver;

namespace {

// A request on the local socket, waiting to be sent or for its answer.
struct LocalRequest {
    QByteArray line;
    ServedBoardClient::Done done;
    bool sent = false;
};

// One connection to the local socket: connected, its peer and hello checked.
struct LocalConnection {
    QLocalSocket* socket = nullptr;  // owned by the client (Qt parent)
    LineBuffer lines;
    bool greeted = false;  // the hello was accepted
};

QJsonObject bodyObject(const QByteArray& body) { return QJsonDocument::fromJson(body).object(); }

ServedBoardClient::Answer answerOf(int status, const QByteArray& body)
{
    ServedBoardClient::Answer answer{status, bodyObject(body), {}};
    answer.error = answer.body.value(QStringLiteral("error")).toString();
    return answer;
}

// The path and query of a request as the API names it: "/api/status?outlets=3".
ServerRequest serverRequest(const QString& method, const QString& path, const QJsonObject& body)
{
    QString relative = path.startsWith(QLatin1Char('/')) ? path.mid(1) : path;
    QUrlQuery query;
    if (const qsizetype mark = relative.indexOf(QLatin1Char('?')); mark >= 0) {
        query.setQuery(relative.mid(mark + 1));
        relative.truncate(mark);
    }
    return ServerRequest{method.toLatin1(), relative, query,
                         body.isEmpty() ? QByteArray() : QJsonDocument(body).toJson(QJsonDocument::Compact)};
}

}  // namespace

struct ServedBoardClient::Private {
    ServedBoardClient& client;
    Address address;
    bool stopped = false;
    bool streaming = false;  // start() was called and no loss followed
    int generation = 0;      // counts start() and stop(), so that no event queued before either is delivered
    int stops = 0;           // counts stop(), so that no answer queued before it is delivered

    // The local socket: one connection for requests, one for the events.
    LocalConnection requests;
    std::deque<LocalRequest> waiting;
    LocalConnection events;

    // HTTP.
    QNetworkAccessManager* manager = nullptr;  // owned by the client (Qt parent)
    QPointer<QNetworkReply> eventReply;
    SseParser sse;
    bool eventsUp = false;

    Private(ServedBoardClient& owner, Address given) : client(owner), address(std::move(given)) {}

    bool local() const { return !address.socketPath.isEmpty(); }

    QStringList devices() const { return address.device.isEmpty() ? QStringList{} : QStringList{address.device}; }

    // Calls `done` from the event loop, unless the client stops first.
    void answerLater(Done done, Answer answer)
    {
        QTimer::singleShot(0, &client, [this, done = std::move(done), answer = std::move(answer), when = stops] {
            if (when == stops)
                done(answer);
        });
    }

    // The stream ended: lost(why) once, and nothing more from it.
    void loseStream(const QString& why)
    {
        if (!streaming || stopped)
            return;
        streaming = false;
        closeEvents();
        // From the event loop, so that start() never signals before it returns.
        QTimer::singleShot(0, &client, [this, why, when = generation] {
            if (when == generation)
                emit client.lost(why);
        });
    }

    void emitEvent(const StreamEvent& event)
    {
        if (event.name == QLatin1String("state"))
            emit client.state(event.data);
        else if (event.name == QLatin1String("change"))
            emit client.change(event.data);
        else if (event.name == QLatin1String("link"))
            emit client.link(event.data);
    }

    void closeEvents()
    {
        if (events.socket) {
            events.socket->disconnect(&client);
            events.socket->abort();
            events.socket->deleteLater();
            events = LocalConnection{};
        }
        if (eventReply) {
            eventReply->disconnect(&client);
            eventReply->abort();
            eventReply->deleteLater();
        }
        eventsUp = false;
    }

    // Connects `connection` and checks its peer; `greeted` runs once its hello is accepted,
    // `line` for each line after it, `failed` once when it ends or is refused.
    void openLocal(LocalConnection& connection, const std::function<void()>& greeted,
                   const std::function<void(const QByteArray&)>& line,
                   const std::function<void(const QString&)>& failed)
    {
        connection = LocalConnection{};
        QLocalSocket* socket = new QLocalSocket(&client);  // owned by the client
        connection.socket = socket;
        QObject::connect(socket, &QLocalSocket::connected, &client, [this, socket, failed] {
            if (const QString other = notTheServer(socket->socketDescriptor(), address.socketPath, address.pid);
                !other.isEmpty())
                failed(QStringLiteral("%1 is not the server: %2").arg(address.socketPath, other));
        });
        QObject::connect(socket, &QLocalSocket::readyRead, &client, [this, &connection, socket, greeted, line, failed] {
            connection.lines.append(socket->readAll());
            while (connection.socket == socket) {
                const std::optional<QByteArray> next = connection.lines.next();
                if (!next)
                    break;
                if (connection.greeted) {
                    line(*next);
                    continue;
                }
                if (const QString refused = helloRefusal(bodyObject(*next), address.pid, devices()); !refused.isEmpty())
                    return failed(QStringLiteral("%1 refused: %2").arg(address.socketPath, refused));
                connection.greeted = true;
                greeted();
            }
            if (connection.socket == socket && connection.lines.overflowed())
                failed(QStringLiteral("the server sent a line longer than %1 bytes").arg(LargestStreamPiece));
        });
        QObject::connect(socket, &QLocalSocket::disconnected, &client,
                         [this, failed] { failed(QStringLiteral("%1 closed the connection").arg(client.describe())); });
        QObject::connect(socket, &QLocalSocket::errorOccurred, &client,
                         [socket, failed](QLocalSocket::LocalSocketError) { failed(socket->errorString()); });
        socket->connectToServer(address.socketPath);
    }

    void startLocalEvents()
    {
        openLocal(
            events,
            [this] {
                events.socket->write(
                    requestLine(serverRequest(QStringLiteral("GET"), QStringLiteral("/api/events"), {})));
                emit client.connected();
            },
            [this](const QByteArray& line) {
                if (const std::optional<StreamEvent> event = parseEventLine(line))
                    return emitEvent(*event);
                // An answer instead of the stream: the server refused it.
                const QJsonObject answer = bodyObject(line);
                if (const int status = answer.value(QStringLiteral("status")).toInt(); status >= 300)
                    loseStream(
                        QStringLiteral("%1 refused the event stream: %2")
                            .arg(client.describe(),
                                 answerOf(status, answer.value(QStringLiteral("body")).toString().toUtf8()).error));
            },
            [this](const QString& why) { loseStream(why); });
    }

    void sendWaiting()
    {
        for (LocalRequest& request : waiting)
            if (!request.sent) {
                requests.socket->write(request.line);
                request.sent = true;
            }
    }

    // The request connection ended: each request still waiting is answered
    // with status 0; one that was sent may have been done.
    void failRequests(const QString& why)
    {
        if (requests.socket) {
            requests.socket->disconnect(&client);
            requests.socket->abort();
            requests.socket->deleteLater();
            requests = LocalConnection{};
        }
        for (LocalRequest& request : std::exchange(waiting, {})) {
            const QString error =
                request.sent ? QStringLiteral("the connection to %1 was lost after the request was sent (%2): its "
                                              "outcome is unknown")
                                   .arg(client.describe(), why)
                             : QStringLiteral("%1 cannot be reached: %2").arg(client.describe(), why);
            answerLater(std::move(request.done), Answer{0, {}, error});
        }
    }

    void requestLocal(const ServerRequest& request, Done done)
    {
        waiting.push_back(LocalRequest{requestLine(request), std::move(done), false});
        if (requests.socket) {
            if (requests.greeted)
                sendWaiting();
            return;
        }
        openLocal(
            requests, [this] { sendWaiting(); },
            [this](const QByteArray& line) {
                const QJsonObject answer = bodyObject(line);
                if (waiting.empty() || !waiting.front().sent || !answer.value(QStringLiteral("status")).isDouble())
                    return failRequests(QStringLiteral("the server's answer was not understood"));
                LocalRequest answered = std::move(waiting.front());
                waiting.pop_front();
                answerLater(std::move(answered.done),
                            answerOf(answer.value(QStringLiteral("status")).toInt(),
                                     answer.value(QStringLiteral("body")).toString().toUtf8()));
            },
            [this](const QString& why) { failRequests(why); });
    }

    QNetworkAccessManager& network()
    {
        if (!manager) {
            manager = new QNetworkAccessManager(&client);  // owned by the client
            if (isLoopback(address.url))
                manager->setProxy(QNetworkProxy::NoProxy);
        }
        return *manager;
    }

    // A request to the server's URL, over HTTP/1.1 (the event stream is a
    // response read as it comes).
    QNetworkRequest httpRequest(const ServerRequest& request) const
    {
        QNetworkRequest http = serverRequest(address.url, address.token.toUtf8(), request);
        http.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        return http;
    }

    void requestHttp(const ServerRequest& request, Done done)
    {
        QNetworkReply* reply = network().sendCustomRequest(httpRequest(request), request.method, request.body);
        QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
            if (received > LargestStreamPiece)
                reply->abort();
        });
        QObject::connect(reply, &QNetworkReply::finished, &client, [this, reply, done = std::move(done)] {
            reply->deleteLater();
            if (stopped)
                return;
            const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
            if (status.isValid() && reply->isOpen())
                return done(answerOf(status.toInt(), reply->readAll()));
            const bool notSent = reply->error() == QNetworkReply::ConnectionRefusedError ||
                                 reply->error() == QNetworkReply::HostNotFoundError;
            done(Answer{0,
                        {},
                        notSent
                            ? QStringLiteral("%1 cannot be reached: %2").arg(client.describe(), reply->errorString())
                            : QStringLiteral("the connection to %1 was lost after the request was sent (%2): its "
                                             "outcome is unknown")
                                  .arg(client.describe(), reply->errorString())});
        });
    }

    // The stream is up once the server answers 200; any other answer ends it.
    bool checkEventsUp()
    {
        if (eventsUp)
            return true;
        const QVariant status = eventReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid())
            return false;
        if (status.toInt() != 200) {
            const QString error = bodyObject(eventReply->read(LargestStreamPiece))
                                      .value(QStringLiteral("error"))
                                      .toString(QStringLiteral("no event stream"));
            loseStream(QStringLiteral("%1 answered the event stream with HTTP status %2: %3")
                           .arg(client.describe())
                           .arg(status.toInt())
                           .arg(error));
            return false;
        }
        eventsUp = true;
        emit client.connected();
        return true;
    }

    void startHttpEvents()
    {
        sse = SseParser{};
        QNetworkRequest http = httpRequest(ServerRequest{"GET", QStringLiteral("api/events"), {}, {}});
        http.setRawHeader("Accept", "text/event-stream");
        http.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        eventReply = network().get(http);
        QNetworkReply* reply = eventReply;
        QObject::connect(reply, &QNetworkReply::metaDataChanged, &client, [this] { checkEventsUp(); });
        QObject::connect(reply, &QNetworkReply::readyRead, &client, [this, reply] {
            if (!checkEventsUp() || reply != eventReply)
                return;
            QString error;
            const QList<StreamEvent> arrived = sse.feed(reply->readAll(), error);
            for (const StreamEvent& event : arrived) {
                if (reply != eventReply || stopped)
                    return;
                emitEvent(event);
            }
            if (!error.isEmpty())
                loseStream(QStringLiteral("%1: %2").arg(client.describe(), error));
        });
        QObject::connect(reply, &QNetworkReply::finished, &client, [this, reply] {
            if (reply != eventReply)
                return;
            checkEventsUp();
            loseStream(reply->error() == QNetworkReply::NoError
                           ? QStringLiteral("%1 ended the event stream").arg(client.describe())
                           : reply->errorString());
        });
    }
};

ServedBoardClient::ServedBoardClient(Address address, QObject* parent)
    : QObject(parent), d_(std::make_unique<Private>(*this, std::move(address)))
{}

ServedBoardClient::~ServedBoardClient() { stop(); }

void ServedBoardClient::start()
{
    if (d_->streaming)
        return;
    d_->stopped = false;
    d_->streaming = true;
    const int when = ++d_->generation;
    QTimer::singleShot(0, this, [this, when] {
        if (when != d_->generation)
            return;
        if (d_->local())
            d_->startLocalEvents();
        else
            d_->startHttpEvents();
    });
}

void ServedBoardClient::stop()
{
    d_->stopped = true;
    d_->streaming = false;
    ++d_->generation;
    ++d_->stops;
    d_->closeEvents();
    if (d_->requests.socket) {
        d_->requests.socket->disconnect(this);
        d_->requests.socket->abort();
        d_->requests.socket->deleteLater();
        d_->requests = LocalConnection{};
    }
    d_->waiting.clear();
    if (d_->manager) {
        for (QNetworkReply* reply : d_->manager->findChildren<QNetworkReply*>()) {
            reply->disconnect(this);
            reply->abort();
        }
    }
}

void ServedBoardClient::request(const QString& method, const QString& path, const QJsonObject& body, Done done)
{
    d_->stopped = false;
    const ServerRequest request = serverRequest(method, path, body);
    if (d_->local())
        d_->requestLocal(request, std::move(done));
    else
        d_->requestHttp(request, std::move(done));
}

QString ServedBoardClient::describe() const
{
    const QString where = d_->address.url.isEmpty() ? d_->address.socketPath : d_->address.url.toString();
    if (d_->address.pid > 0)
        return QStringLiteral("orvessa serve (process %1) at %2").arg(d_->address.pid).arg(where);
    return QStringLiteral("orvessa serve at %1").arg(where);
}
