#pragma once

#include "board_link.h"

#include <QSerialPort>

// The board's bytes through an open QSerialPort, waiting without an event
// loop (the command does one exchange at a time).
class SerialBoardLink final : public BoardLink {
public:
    explicit SerialBoardLink(QSerialPort& port) : port_(port) {}

    void discardInput() override;
    bool write(const QByteArray& bytes) override;
    QByteArray read(QDeadlineTimer deadline) override;
    bool broken() const override;
    QString failure() const override;

private:
    QSerialPort& port_;
    bool gone_ = false;
    QString drainFailure_;  // why the last wait for bytes to leave failed
};
