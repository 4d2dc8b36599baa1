#include "switch_plan.h"

#include "commands.h"

#include <utility>

namespace Driver {

namespace {

constexpr std::uint16_t AllOutlets = (1u << Command::ChannelCount) - 1;

constexpr std::uint16_t bit(int outlet) { return std::uint16_t(1u << (outlet - 1)); }

}  // namespace

SwitchPlan planSwitches(std::uint16_t before, const QList<SwitchAsk>& asks, bool allCommands)
{
    before &= AllOutlets;
    SwitchPlan plan{before, {}, {}};
    for (const SwitchAsk& ask : asks) {
        for (int outlet : ask.outlets) {
            const bool on =
                ask.how == SwitchAsk::How::Toggle ? !(plan.planned & bit(outlet)) : ask.how == SwitchAsk::How::On;
            plan.planned = on ? plan.planned | bit(outlet) : plan.planned & ~bit(outlet);
        }
        plan.wanted << plan.planned;
    }
    if (plan.planned == before)
        return plan;
    // From `from`, a channel command (which flips its outlet) for each outlet
    // not yet as planned.
    const auto channels = [&plan](std::uint16_t from) {
        QByteArrayList commands;
        for (int outlet = 1; outlet <= Command::ChannelCount; ++outlet)
            if ((from ^ plan.planned) & bit(outlet))
                commands << Command::channel(outlet - 1);
        return commands;
    };
    plan.commands = channels(before);
    if (!allCommands)
        return plan;
    // The board's all-on or all-off first, when that and the outlets it leaves
    // otherwise take fewer commands.
    for (const auto& [all, word] :
         {std::pair{Command::AllOn, AllOutlets}, std::pair{Command::AllOff, std::uint16_t(0)}}) {
        QByteArrayList commands = QByteArrayList{all} + channels(word);
        if (commands.size() < plan.commands.size()) {
            plan.commands = std::move(commands);
            plan.usesAll = true;
        }
    }
    return plan;
}

}  // namespace Driver
