#pragma once

#include "board.h"
#include "open_failure.h"

#include <QString>

#include <optional>

// The board's device for orvessa serve, opened on demand: the queue asks for
// the board before each batch, so a device that went away is opened again as
// soon as it is back.
class BoardConnection {
public:
    virtual ~BoardConnection() = default;

    // The board over the open device, opening it when it is closed; nullptr
    // and why when it cannot be opened.
    virtual Board* board(QString& why) = 0;
    // Closes the device (it failed, or the queue stops); the next board()
    // opens it again.
    virtual void drop() = 0;
    // The device last opened or tried, and why its last opening failed.
    virtual QString device() const { return {}; }
    virtual std::optional<OpenFailure> lastFailure() const { return std::nullopt; }
};
