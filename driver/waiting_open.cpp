#include "waiting_open.h"

#include "stop_signals.h"

#include <QElapsedTimer>

#include <algorithm>

namespace PortAccess {

namespace {

constexpr int FirstRetryMs = 10;
constexpr int LongestRetryMs = 50;

// Who holds a port that did not open, as its lock says.
enum class Holder {
    None,     // the port failed for another reason
    Orvessa,  // an orvessa command
    Server,   // orvessa serve, which holds it until it is stopped
    Other,    // another program
    Unnamed,  // no lock, or a stale one: mostly a holder that let go between the opening and the look at its lock
};

Holder holderOf(const OpenFailure& failure)
{
    if (failure.kind != OpenFailure::Kind::Busy)
        return Holder::None;
    if (!failure.lock || failure.lock->stale())
        return Holder::Unnamed;
    if (failure.server || failure.serverNotFound)
        return Holder::Server;
    return failure.lock->programFile() == QLatin1String("orvessa") ? Holder::Orvessa : Holder::Other;
}

// Whether to try the opening again: a busy port when the caller waits for any
// holder, else while an orvessa command holds it that is not a server. A
// holder that keeps no lock is still there at the second look.
bool worthWaiting(Holder holder, Holder before, bool forAnyHolder)
{
    switch (holder) {
    case Holder::None:
        return false;
    case Holder::Orvessa:
        return true;
    case Holder::Unnamed:
        return forAnyHolder || before != Holder::Unnamed;
    case Holder::Server:
    case Holder::Other:
        return forAnyHolder;
    }
    return false;
}

}  // namespace

WaitingOpen openWaiting(const Port& port, std::optional<int> waitMs)
{
    StopSignals stopSignals;
    return openWaiting(port, waitMs, stopSignals);
}

WaitingOpen openWaiting(const Port& port, std::optional<int> waitMs, StopSignals& stopSignals)
{
    const bool forAnyHolder = waitMs.has_value();
    const QDeadlineTimer deadline(waitMs.value_or(DefaultWaitMs));
    QElapsedTimer clock;
    clock.start();
    WaitingOpen result;
    result.opened.realDevice = realDevice(port);

    CommandTurn::Taking taking = result.turn.take(result.opened.realDevice, deadline, stopSignals);
    bool waited = taking.waited;
    // A long-running owner is waited for only when asked to: until it has gone.
    while (taking.outcome == CommandTurn::Outcome::Served && forAnyHolder && !deadline.hasExpired()) {
        if (const std::optional<QString> signal = stopSignals.wait(LongestRetryMs)) {
            taking = {CommandTurn::Outcome::Interrupted, true, *signal};
            break;
        }
        taking = result.turn.take(result.opened.realDevice, deadline, stopSignals);
    }
    QString interruptedBy = taking.signal;
    // With the turn the opening is tried again while its holder is worth
    // waiting for; without it (the wait is over, or a server holds the
    // port), once.
    Holder before = Holder::None;
    for (int retryMs = FirstRetryMs; taking.outcome != CommandTurn::Outcome::Interrupted;) {
        result.opened = open(port);
        if (result.opened.serial || taking.outcome != CommandTurn::Outcome::Taken)
            break;
        const Holder holder = holderOf(*result.opened.failure);
        if (!worthWaiting(holder, before, forAnyHolder) || deadline.hasExpired())
            break;
        before = holder;
        waited = true;
        if (const std::optional<QString> signal =
                stopSignals.wait(int(std::min<qint64>(retryMs, deadline.remainingTime())))) {
            interruptedBy = *signal;
            break;
        }
        retryMs = std::min(retryMs * 2, LongestRetryMs);
    }
    // A signal that came after the last wait also ends the command before it writes.
    if (interruptedBy.isEmpty())
        interruptedBy = stopSignals.wait(0).value_or(QString());
    if (!interruptedBy.isEmpty()) {
        result.opened.serial.reset();
        result.opened.failure.reset();
        result.interruptedBy = interruptedBy;
    }
    if (waited && waitMs != 0)
        result.waitedMs = int(clock.elapsed());
    return result;
}

}  // namespace PortAccess
