#pragma once

#include "route.h"

#include <QByteArray>
#include <QStringList>

#include <optional>
#include <variant>

// What a request's body asks for.
namespace Http {

// PUT /outlet/{n}: "1" (on) or "0" (off), a line end after it allowed.
std::optional<bool> plainState(const QByteArray& body);

// The JSON body of POST /api/...: {"outlets": [3, "router"], "off_time": 2.5}.
struct ApiRequest {
    QStringList outlets;  // numbers or names, not yet resolved
    int offTimeMs = 5000;
};

// The outlets are required for on, off, toggle and cycle and refused for the
// others, "off_time" (seconds, 0 to 86400) goes with cycle only; an empty
// body is an empty object. The message names what is wrong.
std::variant<ApiRequest, QString> apiRequest(Action action, const QByteArray& body);

// GET /api/status?outlets=3,router: the outlets named, all when none.
QStringList statusOutlets(const QString& query);

}  // namespace Http
