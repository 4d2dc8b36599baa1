#pragma once

#include "board_link.h"
#include "reply_scanner.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

// The board failed: it stayed silent, or its device failed.
class BoardError : public std::exception {
public:
    enum class Kind { Silent, DeviceFailed };
    BoardError(Kind kind, QString message) : kind_(kind), message_(std::move(message)), what_(message_.toUtf8()) {}
    Kind kind() const noexcept { return kind_; }
    const QString& message() const noexcept { return message_; }
    const char* what() const noexcept override { return what_.constData(); }

private:
    Kind kind_;
    QString message_;
    QByteArray what_;
};

// One exchange at a time with the board: a command, and where the board
// answers, its first reply after the command. A reply that does not come
// within the timeout is asked for again, twice.
class Board {
public:
    static constexpr int Tries = 3;

    Board(BoardLink& link, int timeoutMs) : link_(link), timeoutMs_(timeoutMs) {}

    int timeoutMs() const { return timeoutMs_; }

    // The state word: bit n-1 is outlet n. Throws BoardError when the board
    // stays silent.
    std::uint16_t readStatus();
    // Asks for the state until the board answers, a new query each timeout
    // as long as `deadline` has not passed; nothing when it stayed silent.
    // Throws BoardError when the device fails.
    std::optional<std::uint16_t> awaitStatus(QDeadlineTimer deadline);
    // Sends a command the board does not answer. Throws BoardError when the
    // device fails.
    void send(const QByteArray& command);
    // Asks for upgrade mode and waits for the board to say it is ready.
    void enterUpgrade();

private:
    void exchange(const QByteArray& command, ReplyScanner& scanner, const QString& what);
    BoardError writeFailure(const QByteArray& command) const;
    BoardError deviceGone(const QString& what) const;
    // Feeds the scanner until it has the reply (true) or `deadline` passes.
    bool listen(ReplyScanner& scanner, QDeadlineTimer deadline, const QString& what);

    BoardLink& link_;
    int timeoutMs_;
};
