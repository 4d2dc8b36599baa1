#include "reply_shaper.h"

#include <utility>

namespace orvessa::sim {

ReplyShaper::ReplyShaper(ReplyRules rules) : rules_(std::move(rules)) {}

std::vector<std::uint8_t> ReplyShaper::shape(const ModelEvent& event)
{
    if (event.reply.empty() || rules_.silent) {
        return {};
    }
    if (event.kind == CommandKind::StatusQuery) {
        if (rules_.answerFirst && statusAnswered_ >= *rules_.answerFirst) {
            return {};
        }
        ++statusAnswered_;
    }
    std::vector<std::uint8_t> bytes = rules_.stray;
    bytes.insert(bytes.end(), event.reply.begin(), event.reply.end());
    return bytes;
}

}  // namespace orvessa::sim
