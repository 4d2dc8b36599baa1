#include "verb.h"

#include <array>
#include <utility>

namespace Driver {

namespace {

constexpr std::array<std::pair<Verb, const char*>, 12> VerbNames = {{
    {Verb::Ports, "ports"},
    {Verb::Status, "status"},
    {Verb::On, "on"},
    {Verb::Off, "off"},
    {Verb::Toggle, "toggle"},
    {Verb::Cycle, "cycle"},
    {Verb::AllOn, "all-on"},
    {Verb::AllOff, "all-off"},
    {Verb::Reset, "reset"},
    {Verb::Upgrade, "upgrade"},
    {Verb::Serve, "serve"},
    {Verb::Watch, "watch"},
}};

}  // namespace

std::optional<Verb> verbNamed(const QString& name)
{
    for (const auto& [verb, text] : VerbNames)
        if (name == QLatin1String(text))
            return verb;
    return std::nullopt;
}

QString verbName(Verb verb)
{
    for (const auto& [candidate, text] : VerbNames)
        if (candidate == verb)
            return QLatin1String(text);
    return {};
}

}  // namespace Driver
