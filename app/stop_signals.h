#pragma once

#include "signal_pipe.h"

#include <QObject>

// SIGTERM, SIGHUP and SIGINT as a Qt signal: a notifier on the signal pipe
// emits received() from whichever event loop runs, a message box's too. A
// signal ignored when the panel started (nohup's SIGHUP) stays ignored. One
// instance at a time; the previous actions come back when it goes.
class StopSignals final : public QObject {
    Q_OBJECT
public:
    explicit StopSignals(QObject* parent = nullptr);

    // True once one of the signals has come, also one that no event loop has
    // delivered yet.
    bool arrived();

signals:
    void received();

private:
    SignalPipe pipe_{SIGTERM, SIGHUP, SIGINT};
    bool arrived_ = false;
};
