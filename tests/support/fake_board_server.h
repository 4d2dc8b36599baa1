#pragma once

#include "board_server.h"

#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

// What the panel asked of fake servers: every request, and how many sessions
// were started and stopped. Kept by the test, outliving each session.
struct ServerLog {
    QList<QPair<QString, QJsonObject>> requests;  // path, body
    int starts = 0;
    int stops = 0;
};

// A server for window tests: records requests in a ServerLog, and lets the
// test push state and link events or drop the connection.
class FakeBoardServer final : public BoardServer {
    Q_OBJECT
public:
    static inline const QString Description = QStringLiteral("orvessa serve (process 4242) at http://127.0.0.1:8321/");

    explicit FakeBoardServer(ServerLog& log) : log_(log) {}

    void start() override { ++log_.starts; }
    void stop() override { ++log_.stops; }
    void post(const QString& path, const QJsonObject& body) override { log_.requests.append({path, body}); }
    QString describe() const override { return Description; }

    // A state event of the server: the board's word, and whether it answers.
    void pushState(int word, bool answering = true)
    {
        emit state(QJsonObject{{QStringLiteral("word"), word}, {QStringLiteral("answering"), answering}});
    }
    void pushLink(bool answering)
    {
        emit link(QJsonObject{{QStringLiteral("what"), answering ? QStringLiteral("the board answers again")
                                                                 : QStringLiteral("the board does not answer")},
                              {QStringLiteral("open"), true},
                              {QStringLiteral("answering"), answering}});
    }
    void drop() { emit lost(QStringLiteral("the server closed the connection")); }

private:
    ServerLog& log_;
};
