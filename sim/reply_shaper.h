// Fault injection on replies: silence, answering only the first N status
// queries, and stray bytes placed before each reply.
#pragma once

#include "controller_model.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace orvessa::sim {

struct ReplyRules {
    bool silent = false;
    std::optional<std::uint64_t> answerFirst;  // limit on answered status queries
    std::vector<std::uint8_t> stray;           // injected before every reply
};

class ReplyShaper {
public:
    explicit ReplyShaper(ReplyRules rules);

    // Bytes to put on the line for this event (empty when nothing is sent).
    std::vector<std::uint8_t> shape(const ModelEvent& event);

private:
    ReplyRules rules_;
    std::uint64_t statusAnswered_ = 0;
};

}  // namespace orvessa::sim
