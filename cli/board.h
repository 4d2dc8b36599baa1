#pragma once

#include "board_link.h"
#include "reply_scanner.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <exception>
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

    // The state word: bit n-1 is outlet n. Throws BoardError when the board
    // stays silent.
    std::uint16_t readStatus();
    // Sends a command the board does not answer. Throws BoardError when the
    // device fails.
    void send(const QByteArray& command);
    // Asks for upgrade mode and waits for the board to say it is ready.
    void enterUpgrade();

private:
    void exchange(const QByteArray& command, ReplyScanner& scanner, const QString& what);
    BoardError writeFailure(const QByteArray& command) const;

    BoardLink& link_;
    int timeoutMs_;
};
