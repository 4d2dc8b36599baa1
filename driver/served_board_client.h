#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

// A client of orvessa serve that never waits on the event loop: requests are
// answered through callbacks, and the server's events arrive as signals, for
// the panel's served mode and orvessa watch.
//
// The events, on the local socket after {"method": "GET", "path": "/api/events"}
// as lines {"event": NAME, "data": {...}}, over HTTP as Server-Sent Events
// (GET /api/events: "event: NAME" and "data: {...}" lines):
//   state   the /api/status object of all outlets (port, path, device, word,
//           outlets, answering, last_answer): first the state as last read,
//           then each read that differs from the one before
//   change  a request that switched outlets: {"asked": "on", "outlets": [3],
//           "word": 4, "by": "..."}
//   link    {"what": "the board answers again", "open": true, "answering": true}
class ServedBoardClient : public QObject {
    Q_OBJECT
public:
    // Where the server is: its local socket, found through its address file,
    // or its URL with the token to send.
    struct Address {
        QString socketPath;  // the local socket; empty: `url`
        qint64 pid = 0;      // the socket's server: its peer credentials must name it
        QString device;      // the device its hello must name
        QUrl url;            // the server's address; requests go there when no socket is given
        QString token;       // sent to `url` only; empty: none
    };
    // status 0: no answer, `error` says why; for a switching request its
    // outcome is then unknown, and it must not be sent again.
    struct Answer {
        int status = 0;
        QJsonObject body;
        QString error;
    };
    using Done = std::function<void(const Answer&)>;

    explicit ServedBoardClient(Address address, QObject* parent = nullptr);
    ~ServedBoardClient() override;

    // Connects and subscribes to the events: connected(), or lost(why).
    void start();
    // Ends the connection and the event stream; no signal follows.
    void stop();
    // A request of the HTTP API ("POST", "/api/toggle", {"outlets": [3]});
    // `done` is called once, from the event loop, never after stop().
    void request(const QString& method, const QString& path, const QJsonObject& body, Done done);
    // The server for messages: "orvessa serve (process 4242) at http://127.0.0.1:8321/".
    QString describe() const;

signals:
    void connected();
    void state(const QJsonObject& status);
    void change(const QJsonObject& change);
    void link(const QJsonObject& link);
    // The connection or its event stream ended, or could not be made.
    void lost(const QString& why);

private:
    struct Private;
    std::unique_ptr<Private> d_;
};
