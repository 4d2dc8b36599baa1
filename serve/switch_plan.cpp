#include "switch_plan.h"

#include "commands.h"

namespace Serve {

namespace {

constexpr std::uint16_t AllOutlets = (1u << Command::ChannelCount) - 1;

constexpr std::uint16_t bit(int outlet) { return std::uint16_t(1u << (outlet - 1)); }

}  // namespace

SwitchPlan planSwitches(std::uint16_t before, const QList<SwitchAsk>& asks)
{
    before &= AllOutlets;
    SwitchPlan plan{before, {}, {}};
    bool askedAll = false;
    for (const SwitchAsk& ask : asks) {
        for (int outlet : ask.outlets) {
            const bool on =
                ask.how == SwitchAsk::How::Toggle ? !(plan.planned & bit(outlet)) : ask.how == SwitchAsk::How::On;
            plan.planned = on ? plan.planned | bit(outlet) : plan.planned & ~bit(outlet);
        }
        plan.wanted << plan.planned;
        askedAll = askedAll || ask.all;
    }
    if (plan.planned == before)
        return plan;
    if (askedAll && (plan.planned == AllOutlets || plan.planned == 0)) {
        plan.commands << (plan.planned == 0 ? Command::AllOff : Command::AllOn);
        return plan;
    }
    for (int outlet = 1; outlet <= Command::ChannelCount; ++outlet)
        if ((before ^ plan.planned) & bit(outlet))
            plan.commands << Command::channel(outlet - 1);
    return plan;
}

}  // namespace Serve
