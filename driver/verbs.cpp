#include "verbs.h"

#include "commands.h"

#include <QStringList>

namespace Driver {

namespace {

// Done when every outlet is in the state `wanted` gives for it; otherwise a
// failure naming each outlet that is not.
Outcome confirm(std::uint16_t word, const QList<int>& outlets, const std::function<bool(int)>& wanted,
                const OutletNames& names)
{
    const QString wrong = switchFailure(word, outlets, wanted, names);
    return Outcome{wrong.isEmpty() ? ExitStatus::Done : ExitStatus::BoardFailed, word, outlets, wrong};
}

// A channel command only for the outlets in the other state, then a second
// read; when none needed one, the first read already confirms.
Outcome switchTo(Board& board, const QList<int>& outlets, bool on, const OutletNames& names)
{
    const std::uint16_t before = board.readStatus();
    bool sent = false;
    for (int outlet : outlets) {
        if (isOn(before, outlet) != on) {
            board.send(Command::channel(outlet - 1));
            sent = true;
        }
    }
    const std::uint16_t after = sent ? board.readStatus() : before;
    return confirm(
        after, outlets, [on](int) { return on; }, names);
}

Outcome toggle(Board& board, const QList<int>& outlets, const OutletNames& names)
{
    const std::uint16_t before = board.readStatus();
    for (int outlet : outlets)
        board.send(Command::channel(outlet - 1));
    return confirm(
        board.readStatus(), outlets, [before](int outlet) { return !isOn(before, outlet); }, names);
}

// Switches the outlets back on after `why`: `status` once confirmed, else a
// failure naming the outlets that may still be off.
Outcome switchBackOn(Board& board, const QList<int>& outlets, const OutletNames& names, const QString& why,
                     ExitStatus status)
{
    Outcome on;
    try {
        on = switchTo(board, outlets, true, names);
    } catch (const BoardError& error) {
        on = Outcome{ExitStatus::BoardFailed, std::nullopt, outlets, error.message()};
    }
    if (on.status == ExitStatus::Done)
        return Outcome{status, on.word, outlets, switchedBackOn(why, outlets, names)};
    QList<int> maybeOff = outlets;
    if (on.word)
        maybeOff.removeIf([word = *on.word](int outlet) { return isOn(word, outlet); });
    on.status = ExitStatus::BoardFailed;
    on.error = switchBackOnFailed(why, on.error, maybeOff, names);
    return on;
}

Outcome cycle(Board& board, const VerbRequest& request, const OutletNames& names, const Pause& pause)
{
    Outcome off = switchTo(board, request.outlets, false, names);
    if (off.status != ExitStatus::Done) {
        QList<int> wentOff = request.outlets;
        wentOff.removeIf([word = *off.word](int outlet) { return isOn(word, outlet); });
        if (wentOff.isEmpty())
            return off;
        return switchBackOn(board, wentOff, names, off.error, ExitStatus::BoardFailed);
    }
    if (const std::optional<QString> cause = pause(request.offTimeMs))
        return switchBackOn(board, request.outlets, names, offTimeInterrupted(*cause), ExitStatus::Interrupted);
    return switchTo(board, request.outlets, true, names);
}

Outcome switchAll(Board& board, bool on, const OutletNames& names)
{
    board.send(on ? Command::AllOn : Command::AllOff);
    return confirm(
        board.readStatus(), allOutlets(), [on](int) { return on; }, names);
}

Outcome run(Board& board, const VerbRequest& request, const OutletNames& names, const Pause& pause)
{
    switch (request.verb) {
    case Verb::Status:
        return Outcome{
            ExitStatus::Done, board.readStatus(), request.outlets.isEmpty() ? allOutlets() : request.outlets, {}};
    case Verb::On:
    case Verb::Off:
        return switchTo(board, request.outlets, request.verb == Verb::On, names);
    case Verb::Toggle:
        return toggle(board, request.outlets, names);
    case Verb::Cycle:
        return cycle(board, request, names, pause);
    case Verb::AllOn:
    case Verb::AllOff:
        return switchAll(board, request.verb == Verb::AllOn, names);
    case Verb::Reset:
        return resetBoard(board, request.resetAnswerMs);
    case Verb::Upgrade:
        board.enterUpgrade();
        return Outcome{};
    case Verb::Ports:
    case Verb::Serve:
    case Verb::Watch:
        break;
    }
    return Outcome{ExitStatus::Usage,
                   std::nullopt,
                   {},
                   QStringLiteral("%1 is not a verb on the board").arg(verbName(request.verb))};
}

}  // namespace

QString stateMismatches(std::uint16_t word, const QList<int>& outlets, const std::function<bool(int)>& wanted,
                        const OutletNames& names)
{
    QStringList wrong;
    for (int outlet : outlets) {
        const bool on = isOn(word, outlet);
        if (on != wanted(outlet))
            wrong << QStringLiteral("%1 is %2, not %3").arg(outletLabel(outlet, names), stateName(on), stateName(!on));
    }
    return wrong.join(QStringLiteral("; "));
}

QString switchFailure(std::uint16_t word, const QList<int>& outlets, const std::function<bool(int)>& wanted,
                      const OutletNames& names)
{
    const QString wrong = stateMismatches(word, outlets, wanted, names);
    return wrong.isEmpty() ? QString() : QStringLiteral("the board did not switch: ") + wrong;
}

QString outletLabels(const QList<int>& outlets, const OutletNames& names)
{
    QStringList text;
    for (int outlet : outlets)
        text << outletLabel(outlet, names);
    return text.join(QStringLiteral(", "));
}

QString offTimeInterrupted(const QString& cause)
{
    return QStringLiteral("interrupted by %1 during the off-time").arg(cause);
}

QString switchedBackOn(const QString& why, const QList<int>& outlets, const OutletNames& names)
{
    return QStringLiteral("%1; %2 switched back on").arg(why, outletLabels(outlets, names));
}

QString switchBackOnFailed(const QString& why, const QString& failure, const QList<int>& maybeOff,
                           const OutletNames& names)
{
    return QStringLiteral("%1; switching back on failed: %2; %3 may still be off")
        .arg(why, failure, outletLabels(maybeOff, names));
}

Outcome resetBoard(Board& board, int answerMs)
{
    // A query sent before the deadline gets its full timeout.
    const int allowedMs = qMax(answerMs, board.timeoutMs());
    const QDeadlineTimer deadline(answerMs);
    board.send(Command::Reset);
    const std::optional<std::uint16_t> word = board.awaitStatus(deadline);
    if (!word)
        return Outcome{ExitStatus::BoardFailed,
                       std::nullopt,
                       {},
                       QStringLiteral("the board was reset but has not answered a status query in %1 s: check "
                                      "that it has power and that its serial cable is connected")
                           .arg(allowedMs / 1000.0)};
    return Outcome{ExitStatus::Done, word, allOutlets(), {}};
}

Outcome runVerb(Board& board, const VerbRequest& request, const OutletNames& names, const Pause& pause)
{
    try {
        return run(board, request, names, pause);
    } catch (const BoardError& error) {
        return Outcome{
            ExitStatus::BoardFailed, std::nullopt, {}, error.message(), error.kind() == BoardError::Kind::Silent};
    }
}

}  // namespace Driver
