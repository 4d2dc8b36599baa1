// SIGINT, SIGTERM and SIGHUP stay blocked except inside ppoll(), where they
// interrupt the wait and set a flag; the main loop then exits cleanly.
#pragma once

#include <signal.h>

namespace orvessa::sim {

class StopSignals {
public:
    StopSignals();  // installs handlers and blocks the signals
    [[nodiscard]] bool requested() const;
    // Mask to pass to ppoll(): the old mask, with the stop signals open.
    [[nodiscard]] const sigset_t* waitMask() const { return &waitMask_; }

private:
    sigset_t waitMask_{};
};

}  // namespace orvessa::sim
