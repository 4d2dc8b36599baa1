#pragma once

#include <QByteArray>
#include <QString>

#include <variant>

// Where a request goes: orvessa serve's paths and the methods each takes.
namespace Http {

enum class Method { Get, Put, Post, Other };

enum class Action {
    Page,       // GET / and the page's files
    ReadOne,    // GET /outlet/{n}: 1 or 0
    SwitchOne,  // PUT /outlet/{n} with 1 or 0
    Status,     // GET /api/status
    On,         // POST /api/on, and the rest as orvessa's verbs
    Off,
    Toggle,
    Cycle,
    AllOn,
    AllOff,
    Reset,
    Events,  // GET /api/events: the board's events as they come
};

struct Route {
    Action action = Action::Page;
    QString outlet;  // ReadOne, SwitchOne: the outlet as the path gives it, number or name
};

struct RouteError {
    int status = 404;  // 404, or 405 with `allow`
    QString message;
    QByteArray allow;  // the Allow header for a 405
};

// `path` as decoded from the URL.
std::variant<Route, RouteError> route(Method method, const QString& path);

// Whether the method may change the board's state (PUT, POST): such a request
// is checked for its Origin and logged.
constexpr bool changesState(Method method) { return method == Method::Put || method == Method::Post; }

}  // namespace Http
