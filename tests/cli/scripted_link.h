#pragma once

#include "board_link.h"

#include <QByteArrayList>
#include <QThread>

// A link whose board answers the k-th write with script[k]: chunks in hex,
// one per read, "-" for a read that gets nothing before its deadline, "x" for
// the device failing.
class ScriptedLink final : public BoardLink {
public:
    QByteArrayList script;
    QByteArrayList incoming;  // what the board has sent and nobody has read
    QByteArrayList written;
    int failWrite = -1;  // the write that fails, -1 none
    bool gone = false;

    void discardInput() override { incoming.clear(); }
    bool write(const QByteArray& bytes) override
    {
        if (written.size() == failWrite)
            return false;
        written << bytes;
        for (const QByteArray& chunk : script.value(written.size() - 1).split(' '))
            if (!chunk.isEmpty())
                incoming << (chunk == "-" || chunk == "x" ? chunk : QByteArray::fromHex(chunk));
        return true;
    }
    QByteArray read(QDeadlineTimer deadline) override
    {
        if (!incoming.isEmpty() && incoming.first() == "x") {
            gone = true;
            return {};
        }
        if (incoming.isEmpty() || incoming.first() == "-") {
            if (!incoming.isEmpty())
                incoming.removeFirst();
            QThread::msleep(ulong(qMax<qint64>(deadline.remainingTime(), 0)));
            return {};
        }
        return incoming.takeFirst();
    }
    bool broken() const override { return gone; }
    QString failure() const override { return "Input/output error"; }
};
