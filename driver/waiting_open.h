#pragma once

#include "command_turn.h"
#include "port_access.h"

#include <QString>

#include <optional>

// Opening a port other orvessa commands may be using. The command first waits
// for its turn among them (CommandTurn), then for the port itself while an
// orvessa command holds it that takes no turns (an older orvessa), trying
// again every 10 to 50 ms. A port held by another program, or by orvessa
// serve, fails at once, unless the caller asked to wait for any holder.
// SIGINT and SIGTERM end the wait, and the port is then not used.
namespace PortAccess {

// How long orvessa waits for other orvessa commands without --wait.
constexpr int DefaultWaitMs = 10'000;

struct WaitingOpen {
    CommandTurn turn;             // held until the port is closed; release() hands it on
    OpenResult opened;            // realDevice is set even when interrupted; closed before the turn goes
    std::optional<int> waitedMs;  // how long the command waited, when it had to and was allowed to
    QString interruptedBy;        // "SIGINT" or "SIGTERM" when a signal ended the wait; no port then
};

// `waitMs` is --wait as given: that long for any holder. Without it, up to
// DefaultWaitMs for orvessa commands only.
WaitingOpen openWaiting(const Port& port, std::optional<int> waitMs);
// The same with the signals caught by a caller that waits for them itself
// between openings (orvessa watch).
WaitingOpen openWaiting(const Port& port, std::optional<int> waitMs, StopSignals& stopSignals);

}  // namespace PortAccess
