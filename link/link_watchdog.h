#pragma once

#include <cstdint>

// The counting behind the poll timer: ticks since the last tick that saw a
// status reply's mark. The count is 64-bit so it never wraps.
class LinkWatchdog {
public:
    static constexpr int FastIntervalMs = 200;
    static constexpr int SlowIntervalMs = 5000;
    static constexpr std::int64_t FaultTicks = 30;
    static constexpr std::uint8_t ReplyMark = 't';

    void countTick() { ++ticks_; }

    // True when slot 3 of the reply window holds a status reply's mark; the
    // count then starts again.
    bool sawReply(std::uint8_t slot3)
    {
        if (slot3 != ReplyMark)
            return false;
        ticks_ = 0;
        return true;
    }

    // True on the one tick on which the count reaches the limit.
    bool linkFaultDue() const { return ticks_ == FaultTicks; }

    std::int64_t Ticks() const { return ticks_; }

private:
    std::int64_t ticks_ = 0;
};
