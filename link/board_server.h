#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

// The panel's view of a running orvessa serve: the few requests the panel's
// commands become, and the events the server pushes. The real one is an
// adapter over orvessa's client of a server (app/); tests use a fake.
class BoardServer : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~BoardServer() override = default;

    // Connects and subscribes to the server's events; lost() when that fails.
    virtual void start() = 0;
    // Ends the connection; no signal follows. The server keeps running.
    virtual void stop() = 0;
    // A switching request of the server's API ("/api/toggle", {"outlets": [3]}).
    // Its outcome shows in the state events that follow.
    virtual void post(const QString& path, const QJsonObject& body) = 0;
    // The server for messages: "orvessa serve (process 4242) at http://127.0.0.1:8321/".
    virtual QString describe() const = 0;

signals:
    // The state of all outlets as the server last read it (the /api/status
    // object: "word", "answering", ...).
    void state(const QJsonObject& status);
    // A change of the link to the board ({"what", "open", "answering"}).
    void link(const QJsonObject& link);
    // The connection or its event stream ended, or could not be made.
    void lost(const QString& why);
};
