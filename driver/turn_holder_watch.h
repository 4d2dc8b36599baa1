#pragma once

#include <QElapsedTimer>
#include <QString>

// Whether the command that holds the turn on a device is using the device,
// as the device's lock tells, for a command that waits for the turn. An
// orvessa command opens the device right after it takes the turn and hands
// the turn on right after closing it, so it leaves the device free for a
// moment only. Any local user can bind the turn's name and never hand it on
// without ever holding the device: such a holder is passed over once the
// device has been seen free for GraceMs in all, and the waiting command goes
// on without a turn (the device's lock alone decides then). A device held by
// anyone is waited for.
class TurnHolderWatch {
public:
    static constexpr int LookEveryMs = 50;
    static constexpr qint64 GraceMs = 300;

    explicit TurnHolderWatch(QString device);

    // Looks at the device's lock when LookEveryMs have passed since the last
    // look (the time between counts as free when the device is free now):
    // true once the holder of the turn is to be passed over.
    bool passOver();

private:
    QString device_;
    QElapsedTimer sinceLastLook_;
    qint64 freeMs_ = 0;
};
