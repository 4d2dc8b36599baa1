#pragma once

#include "board_queue.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

// What orvessa serve tells the clients that follow the board, through each
// front-end's event stream:
//   state   the /api/status object of all outlets, for each read whose word
//           differs from the one before (and the state as last read to each
//           new subscriber first)
//   change  a request that switched outlets, once it succeeded or failed
//   link    the port or the board came or went
namespace Serve {

class BoardEvents final : public QObject {
    Q_OBJECT
public:
    // The /api/status object of all outlets for `word`, as the API answers it.
    using StateOf = std::function<QJsonObject(std::uint16_t word)>;
    BoardEvents(Driver::BoardQueue& queue, StateOf stateOf, QObject* parent = nullptr);

    // The state as last read; none before the first read.
    std::optional<QJsonObject> currentState() const;

    // A request that switched outlets ended: {"asked", "outlets", "word", "ok", "by"}.
    void switched(const QJsonObject& change);

    // One event as Server-Sent Events put it, and as a line of the local socket.
    static QByteArray sseText(const QString& name, const QJsonObject& data);
    static QByteArray jsonLine(const QString& name, const QJsonObject& data);

signals:
    void published(const QString& name, const QJsonObject& data);

private:
    void stateRead(std::uint16_t word);
    void linkChanged(const QString& what);

    Driver::BoardQueue& queue_;
    StateOf stateOf_;
    std::optional<std::uint16_t> lastSent_;
};

}  // namespace Serve
