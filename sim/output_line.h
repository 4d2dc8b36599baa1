// Outgoing byte queue with line pacing: each byte waits a minimum gap after
// the previous one (one character time at 9600 baud, or the split delay
// between the bytes of one reply). Time is passed in, so it has no clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace orvessa::sim {

class OutputLine {
public:
    using Clock = std::chrono::steady_clock;
    using Micros = std::chrono::microseconds;

    // 10 bits (start, 8 data, stop) at 9600 baud.
    static constexpr Micros kCharTime9600{1042};

    OutputLine(Micros byteGap, Micros splitGap);

    // A reply: its first byte follows the previous byte by byteGap, the rest
    // follow each other by max(byteGap, splitGap).
    void queueReply(std::span<const std::uint8_t> bytes);
    void queueNoise(std::uint8_t byte);
    void clear();

    [[nodiscard]] std::size_t pending() const { return queue_.size(); }
    // When the head byte may go out; empty when nothing is queued.
    [[nodiscard]] std::optional<Clock::time_point> nextDue() const;
    // The bytes that may be written at `now`, in order.
    [[nodiscard]] std::vector<std::uint8_t> due(Clock::time_point now) const;
    // Records that the first `count` bytes of due() were written at `now`.
    void sent(std::size_t count, Clock::time_point now);

private:
    struct Slot {
        std::uint8_t byte;
        Micros gap;
    };
    std::deque<Slot> queue_;
    std::optional<Clock::time_point> lastSent_;
    Micros byteGap_;
    Micros splitGap_;
};

}  // namespace orvessa::sim
