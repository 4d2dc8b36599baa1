#pragma once

#include "signal_pipe.h"

#include <QString>

#include <optional>

// SIGINT and SIGTERM caught while an instance lives, so that a cycle can
// switch its outlets back on before orvessa ends, and a wait for the port can
// end without writing anything. The handler writes the signal to a pipe,
// which wait() polls: a signal that came earlier ends the next wait at once.
// A signal the caller ignores (a background job's SIGINT) stays ignored. One
// instance at a time.
class StopSignals {
public:
    // Waits `ms` milliseconds, or less once `readable` (a file descriptor, -1
    // for none) has something to read or is hung up: nothing then, else the
    // signal that cut the wait short ("SIGINT" or "SIGTERM").
    std::optional<QString> wait(int ms, int readable = -1);

    // Readable when a signal came, for an event loop's QSocketNotifier; -1
    // when the signals could not be caught.
    int readEnd() const { return pipe_.readEnd(); }

private:
    SignalPipe pipe_{SIGINT, SIGTERM};
};
