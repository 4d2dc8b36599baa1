#pragma once

#include "board_connection.h"
#include "controller_model.h"

#include <QByteArrayList>
#include <QThread>

#include <atomic>
#include <functional>
#include <string_view>

// The simulator's protocol model as the board's device, in the process: bytes
// written reach the model at once and its replies are there to read. A silent
// board takes nothing in; an unplugged one fails every write, and cannot be
// opened again until it is back.
class ModelBoard final : public BoardLink, public BoardConnection {
public:
    orvessa::sim::ControllerModel model;
    QByteArrayList written;
    bool silent = false;
    bool unplugged = false;
    bool open = false;
    // Called with each write before the board takes it: a test's requests
    // that come while a step is on the wire.
    std::function<void(const QByteArray&)> onWrite;
    // While set, a read waits (on the wire's thread): an exchange that stays
    // on the wire until the test lets it go.
    std::atomic<bool> hold{false};
    std::atomic<int> reads{0};

    Board* board(QString& why) override
    {
        if (!open && unplugged) {
            why = "/dev/ttyUSB0 cannot be opened: it is not there";
            return nullptr;
        }
        open = true;
        return &board_;
    }
    void drop() override { open = false; }

    void discardInput() override { incoming_.clear(); }
    bool write(const QByteArray& bytes) override
    {
        if (onWrite)
            onWrite(bytes);
        if (unplugged)
            return false;
        written << bytes;
        if (!silent)
            for (const auto& event : model.feed(std::string_view(bytes.constData(), std::size_t(bytes.size()))))
                incoming_.append(reinterpret_cast<const char*>(event.reply.data()), qsizetype(event.reply.size()));
        return true;
    }
    QByteArray read(QDeadlineTimer deadline) override
    {
        ++reads;
        while (hold)
            QThread::msleep(1);
        if (incoming_.isEmpty())
            QThread::msleep(ulong(qMax<qint64>(deadline.remainingTime(), 0)));
        return std::exchange(incoming_, {});
    }
    bool broken() const override { return unplugged; }
    QString failure() const override { return "Input/output error"; }

private:
    QByteArray incoming_;
    Board board_{*this, 20};
};
