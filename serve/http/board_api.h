#pragma once

#include "board_queue.h"
#include "outlets.h"
#include "reply.h"
#include "report.h"
#include "route.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

// The board orvessa serve serves: its queue, and how messages name its port.
struct ServedBoard {
    Driver::BoardQueue& queue;
    Driver::OutletNames names;
    QString portLabel;                             // "COM3 (/dev/serial/by-id/...)", as orvessa's messages begin
    std::function<Driver::Report::Where()> where;  // the port as named and the device behind it now
    std::function<bool()> portClosed;              // the last opening of the port failed
};

// What a request that passed its front-end's checks (HTTP, or the local
// socket) asks of the board, translated onto the queue, and the answer once
// the queue has given it: one translation for every front-end, so that each
// answers alike.
class BoardApi final : public QObject {
    Q_OBJECT
public:
    using Answer = std::function<void(Http::Reply)>;

    explicit BoardApi(ServedBoard board, QObject* parent = nullptr);

    // Asked once a request is found sound, before it is queued: false when
    // it may not be (the front-end has answered it then).
    using Admit = std::function<bool()>;

    // `body` is the request's body, `query` its URL query, `by` who sent it
    // ("POST /api/on from 127.0.0.1:40312"). `answer` is called once, now (a
    // bad request) or from the event loop when the queue has answered; never
    // after this object is gone.
    void handle(const Http::Route& route, const QByteArray& body, const QString& query, Answer answer,
                const Admit& admit = {}, const QString& by = {});

    // The /api/status object of all outlets for the state `word`.
    QJsonObject statusOf(std::uint16_t word) const;

signals:
    // A request that switched outlets ended: {"asked": "on", "outlets": [3],
    // "word": 4 or null, "ok": true, "by": "..."}.
    void switched(const QJsonObject& change);

private:
    void actOnOutlets(Http::Action action, const QByteArray& body, const Answer& answer, const Admit& admit,
                      const QString& by);
    // `done`, and then the change told as switched().
    Driver::Done told(const QString& asked, const QList<int>& outlets, const QString& by, Driver::Done done);
    // The outlets given (numbers or names) as numbers; nothing once `answer`
    // was given 400 with why not.
    std::optional<QList<int>> outletsOf(const QStringList& given, const Answer& answer);
    // The queue's answer through `toReply` when it succeeded.
    Driver::Done whenDone(Answer answer, std::function<Http::Reply(const Driver::Result&)> toReply, bool cycle = false);
    Http::Reply failed(const Driver::Result& result, bool cycle) const;
    QJsonObject stateObject(const Driver::Result& result) const;
    // "answering" and "last_answer": whether the board answered its last query, and when it last did.
    void addAnswering(QJsonObject& object) const;

    ServedBoard board_;
};
