#include "output_line.h"

#include <algorithm>

namespace orvessa::sim {

OutputLine::OutputLine(Micros byteGap, Micros splitGap) : byteGap_(byteGap), splitGap_(std::max(byteGap, splitGap)) {}

void OutputLine::queueReply(std::span<const std::uint8_t> bytes)
{
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        queue_.push_back({bytes[i], i == 0 ? byteGap_ : splitGap_});
    }
}

void OutputLine::queueNoise(std::uint8_t byte) { queue_.push_back({byte, byteGap_}); }

void OutputLine::clear() { queue_.clear(); }

std::optional<OutputLine::Clock::time_point> OutputLine::nextDue() const
{
    if (queue_.empty()) {
        return std::nullopt;
    }
    if (!lastSent_) {
        return Clock::time_point::min();
    }
    return *lastSent_ + queue_.front().gap;
}

std::vector<std::uint8_t> OutputLine::due(Clock::time_point now) const
{
    std::vector<std::uint8_t> bytes;
    const auto first = nextDue();
    if (!first || *first > now) {
        return bytes;
    }
    bytes.push_back(queue_.front().byte);
    // Bytes after the first would follow it at `now`, so only gap-free ones join.
    for (std::size_t i = 1; i < queue_.size() && queue_[i].gap.count() == 0; ++i) {
        bytes.push_back(queue_[i].byte);
    }
    return bytes;
}

void OutputLine::sent(std::size_t count, Clock::time_point now)
{
    count = std::min(count, queue_.size());
    if (count == 0) {
        return;
    }
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(count));
    lastSent_ = now;
}

}  // namespace orvessa::sim
