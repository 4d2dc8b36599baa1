#pragma once

#include "exit_status.h"
#include "outlets.h"
#include "port_access.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

// What orvessa prints: plain lines for people, one JSON object for programs.
namespace Driver::Report {

// The port a command used: as named ("COM2", or the path given), and the
// device opened.
struct Where {
    QString port;
    QString realDevice;  // "device" in JSON
};

// What to look at when the board on `port` stays silent, to follow the error.
QString silenceHint(const QString& port);

// "outlet 3 (router): on", one line per outlet.
QString statusLines(std::uint16_t word, const QList<int>& outlets, const OutletNames& names);
// {"port", "device", "word", "outlets": [{"number", "name" (null without one), "on"}]}
QJsonObject statusObject(const Where& where, std::uint16_t word, const QList<int>& outlets, const OutletNames& names);

// {"port", "device"}: the result of a command the board does not answer with a state.
QJsonObject whereObject(const Where& where);

// One line per port: name, mapped path, present or missing, free or who
// holds it (or what a stale lock file says).
QString portLines(const QList<PortAccess::PortState>& ports);
// {"ports": [{"port", "device", "real_device", "present", "in_use", "holder": lock or null}]}
// where a lock is {"program", "pid", "lock_file", "stale", "description"}.
QJsonObject portsObject(const QList<PortAccess::PortState>& ports);

// The failure to open a port: {"error", "status", "port", "device", "reason"}
// with the facts behind it: "present" (the devices present with their COM
// numbers) for a missing device, "holder" (its lock) for a busy one, with
// "server" (its rendezvous entry) when orvessa serve holds it, "group" for one
// the user may not open.
QJsonObject openFailureObject(const QString& message, const Where& where, const OpenFailure& failure);

// {"error", "status"}, with where the command ran and the board's last state
// when they are known.
QJsonObject errorObject(const QString& message, ExitStatus status, const std::optional<Where>& where = {},
                        std::optional<std::uint16_t> word = {}, const QList<int>& outlets = {},
                        const OutletNames& names = {});

// One line of compact JSON.
QString jsonLine(const QJsonObject& object);

}  // namespace Driver::Report
