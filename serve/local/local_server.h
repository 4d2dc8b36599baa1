#pragma once

#include "board_api.h"
#include "board_events.h"

#include <QByteArray>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QString>

#include <map>
#include <memory>
#include <optional>

// orvessa serve for clients on this machine: a Unix socket in the server's
// runtime folder, whose file permissions say who may switch (its owner, and
// for a service the device's group). A client needs no token, and knows whom
// it talks to from the socket's peer credentials.
//
// The exchange is JSON, one object per line. On connecting, the server says
// which board it serves:
//   {"orvessa_serve": 1, "pid": 4242, "port": "COM3", "path": "...", "device": "/dev/ttyUSB0"}
// A request is an HTTP request of the API in short:
//   {"method": "POST", "path": "/api/on", "query": "", "body": "{\"outlets\": [3]}"}
// and each is answered, in the order they came, with
//   {"status": 200, "body": "..."}
// the HTTP status and body the same request gets over HTTP. After
//   {"method": "GET", "path": "/api/events"}
// (and the answers to the requests before it) the connection carries the
// board's events, one line each, {"event": NAME, "data": {...}}, and
// nothing else: further requests on it are not read.
class LocalServer final : public QObject {
    Q_OBJECT
public:
    struct Limits {
        int maxConnections = 32;
        qint64 maxLineBytes = 8192;             // one request
        int maxPendingAnswers = 16;             // requests of one connection not answered yet; more: 503
        qint64 pauseUnsentBytes = 64 * 1024;    // reading stops while more than this waits to be sent
        qint64 maxUnsentBytes = 1024 * 1024;    // beyond: the connection is closed
        int maxStreams = 32;                    // event streams open at once; more: 503
        qint64 streamUnsentBytes = 256 * 1024;  // a stream further behind is dropped
    };

    LocalServer(BoardApi& api, std::function<QJsonObject()> hello, Limits limits, QObject* parent = nullptr);
    ~LocalServer() override;

    // Listens at `path`, a file that must not exist, accessible to its owner
    // only, or also to group `group` (a gid, >= 0); why not, or empty.
    QString listen(const QString& path, int group = -1);
    void close();
    // Streams `events` to the connections that ask for them, and tells them
    // the requests that switched outlets.
    void publish(Serve::BoardEvents& events);
    QString path() const { return path_; }

signals:
    // A state-changing request and its outcome: one line for the log.
    void logLine(const QString& line);

private:
    struct Client;
    void accept();
    void readFrom(Client& client);
    void handleLine(Client& client, const QByteArray& line);
    void answer(Client& client, quint64 ticket, int status, const QByteArray& body);
    void writeReady(Client& client);
    // The client on `socket`, while it is connected and not yet forgotten.
    Client* clientOf(const QPointer<QLocalSocket>& socket) const;
    void drop(QLocalSocket* socket);
    void writeInOrder(Client& client);
    void startStream(Client& client);
    void sendEvent(const QString& name, const QJsonObject& data);
    void sendTo(Client& client, const QByteArray& line);

    BoardApi& api_;
    std::function<QJsonObject()> hello_;
    Limits limits_;
    QLocalServer server_;
    QString path_;
    std::map<QLocalSocket*, std::unique_ptr<Client>> clients_;
    QPointer<Serve::BoardEvents> events_;
};
