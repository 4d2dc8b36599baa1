#pragma once

#include "board_connection.h"
#include "port_access.h"
#include "serial_board_link.h"

#include <QSerialPort>

#include <memory>
#include <optional>

// The board on a host serial port, opened as orvessa opens it
// (PortAccess::open), each reply awaited up to `timeoutMs` as with
// orvessa --timeout. A port named COM<n> or by a link is resolved again at
// each opening, so an adapter plugged back in under another device name is
// found under the same path.
class SerialBoardConnection final : public BoardConnection {
public:
    SerialBoardConnection(PortAccess::Port port, int timeoutMs);
    ~SerialBoardConnection() override;

    Board* board(QString& why) override;
    void drop() override;

    // Why the last opening failed; nothing once the port opened.
    std::optional<OpenFailure> lastFailure() const override { return failure_; }
    // The device last opened or tried: the port's path with links resolved.
    QString device() const override { return device_; }

private:
    PortAccess::Port port_;
    int timeoutMs_;
    std::unique_ptr<QSerialPort> serial_;
    std::unique_ptr<SerialBoardLink> link_;
    std::unique_ptr<Board> board_;
    std::optional<OpenFailure> failure_;
    QString device_;
};
