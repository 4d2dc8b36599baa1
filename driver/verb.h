#pragma once

#include <QString>

#include <optional>

// orvessa's verbs, and their names on the command line and in the server's API.
namespace Driver {

enum class Verb { Ports, Status, On, Off, Toggle, Cycle, AllOn, AllOff, Reset, Upgrade, Serve, Watch };

// "all-on" for Verb::AllOn.
QString verbName(Verb verb);
// The verb of that name; none when there is no such verb.
std::optional<Verb> verbNamed(const QString& name);

}  // namespace Driver
