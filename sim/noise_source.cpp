#include "noise_source.h"

#include <algorithm>
#include <cmath>

namespace orvessa::sim {

NoiseSource::NoiseSource(double bytesPerSecond, std::uint64_t seed) : rate_(bytesPerSecond), rng_(seed) {}

void NoiseSource::restart(Clock::time_point now)
{
    start_ = now;
    emitted_ = 0;
}

std::vector<std::uint8_t> NoiseSource::take(Clock::time_point now, std::size_t room)
{
    std::vector<std::uint8_t> bytes;
    if (!enabled() || !start_ || now < *start_) {
        return bytes;
    }
    const std::chrono::duration<double> elapsed = now - *start_;
    const auto total = static_cast<std::uint64_t>(std::floor(elapsed.count() * rate_));
    if (total <= emitted_) {
        return bytes;
    }
    const std::uint64_t count = std::min<std::uint64_t>(total - emitted_, room);
    for (std::uint64_t i = 0; i < count; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(rng_() & 0xFF));
    }
    emitted_ = total;
    return bytes;
}

std::optional<NoiseSource::Clock::time_point> NoiseSource::nextDue() const
{
    if (!enabled() || !start_) {
        return std::nullopt;
    }
    const std::chrono::duration<double> offset(static_cast<double>(emitted_ + 1) / rate_);
    return *start_ + std::chrono::ceil<Clock::duration>(offset);
}

}  // namespace orvessa::sim
