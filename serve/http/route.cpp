#include "route.h"

#include "page_files.h"

#include <array>
#include <utility>

namespace Http {

namespace {

constexpr std::array<std::pair<const char*, Action>, 7> ApiVerbs = {{
    {"on", Action::On},
    {"off", Action::Off},
    {"toggle", Action::Toggle},
    {"cycle", Action::Cycle},
    {"all-on", Action::AllOn},
    {"all-off", Action::AllOff},
    {"reset", Action::Reset},
}};

RouteError wrongMethod(const QString& path, const char* allow)
{
    return RouteError{405, QStringLiteral("%1 takes %2 only").arg(path, QLatin1String(allow)), allow};
}

}  // namespace

std::variant<Route, RouteError> route(Method method, const QString& path)
{
    if (pageFile(path)) {
        if (method != Method::Get)
            return wrongMethod(path, "GET");
        return Route{Action::Page, {}};
    }
    static const QString outletPrefix = QStringLiteral("/outlet/");
    if (path.startsWith(outletPrefix) && path.size() > outletPrefix.size() &&
        !path.mid(outletPrefix.size()).contains(QLatin1Char('/'))) {
        const QString outlet = path.mid(outletPrefix.size());
        if (method == Method::Get)
            return Route{Action::ReadOne, outlet};
        if (method == Method::Put)
            return Route{Action::SwitchOne, outlet};
        return wrongMethod(QStringLiteral("/outlet/{n}"), "GET, PUT");
    }
    if (path == QLatin1String("/api/status")) {
        if (method != Method::Get)
            return wrongMethod(path, "GET");
        return Route{Action::Status, {}};
    }
    if (path == QLatin1String("/api/events")) {
        if (method != Method::Get)
            return wrongMethod(path, "GET");
        return Route{Action::Events, {}};
    }
    for (const auto& [name, action] : ApiVerbs) {
        if (path == QLatin1String("/api/") + QLatin1String(name)) {
            if (method != Method::Post)
                return wrongMethod(path, "POST");
            return Route{action, {}};
        }
    }
    if (path == QLatin1String("/api/upgrade"))
        return RouteError{404,
                          QStringLiteral("upgrade is not offered over the network: run orvessa upgrade on the "
                                         "board's machine while no server holds the port"),
                          {}};
    return RouteError{404,
                      QStringLiteral("there is nothing at %1: the paths are /outlet/{n}, /api/status, "
                                     "/api/events and /api/{on,off,toggle,cycle,all-on,all-off,reset}")
                          .arg(path),
                      {}};
}

}  // namespace Http
