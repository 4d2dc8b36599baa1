// Random noise bytes at a fixed average rate from a seeded generator.
// Bytes that fall due while the caller has no room are dropped, so noise
// never builds up a backlog. Time is passed in, so it has no clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace orvessa::sim {

class NoiseSource {
public:
    using Clock = std::chrono::steady_clock;

    NoiseSource(double bytesPerSecond, std::uint64_t seed);

    [[nodiscard]] bool enabled() const { return rate_ > 0.0; }
    // Starts counting from `now` (e.g. when the panel opens the port).
    void restart(Clock::time_point now);
    // Bytes due by `now`, at most `room` of them; the rest are skipped.
    std::vector<std::uint8_t> take(Clock::time_point now, std::size_t room);
    // When the next byte falls due; empty when disabled or not started.
    [[nodiscard]] std::optional<Clock::time_point> nextDue() const;

private:
    double rate_;
    std::mt19937_64 rng_;
    std::optional<Clock::time_point> start_;
    std::uint64_t emitted_ = 0;
};

}  // namespace orvessa::sim
