#include "serial_board_connection.h"

#include "open_failure.h"

#include <utility>

SerialBoardConnection::SerialBoardConnection(PortAccess::Port port, int timeoutMs)
    : port_(std::move(port)), timeoutMs_(timeoutMs)
{}

SerialBoardConnection::~SerialBoardConnection() { drop(); }

Board* SerialBoardConnection::board(QString& why)
{
    if (board_)
        return board_.get();
    PortAccess::OpenResult opened = PortAccess::open(port_);
    device_ = opened.realDevice;
    failure_ = opened.failure;
    if (!opened.serial) {
        why = describeOpenFailure(*opened.failure);
        return nullptr;
    }
    serial_ = std::move(opened.serial);
    link_ = std::make_unique<SerialBoardLink>(*serial_);
    board_ = std::make_unique<Board>(*link_, timeoutMs_);
    return board_.get();
}

void SerialBoardConnection::drop()
{
    // The board and the link hold references to the port: they go first.
    board_.reset();
    link_.reset();
    if (serial_)
        serial_->close();
    serial_.reset();
}
