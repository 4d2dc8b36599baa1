#pragma once

#include "board.h"
#include "exit_status.h"
#include "outlets.h"
#include "verb.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

// What each verb does with the board: which commands, in which order, and
// what counts as done.
namespace Driver {

struct Outcome {
    ExitStatus status = ExitStatus::Done;
    std::optional<std::uint16_t> word;  // the last state read from the board
    QList<int> outlets;                 // the outlets the result is about
    QString error;                      // why it failed
    bool silent = false;                // the board did not answer
};

// How long a reset board has to answer a status query again.
inline constexpr int ResetAnswerMs = 3000;

struct VerbRequest {
    Verb verb = Verb::Status;
    QList<int> outlets;  // resolved; empty for status means all
    int offTimeMs = 0;
    int resetAnswerMs = ResetAnswerMs;
};

// Waits between the two halves of a cycle: nothing when the full time
// passed, else what cut it short (e.g. "SIGTERM").
using Pause = std::function<std::optional<QString>(int ms)>;

// Runs one verb that talks to the board (every verb but ports). A board that
// stays silent or fails gives BoardFailed with the reason; so does an outlet
// that does not reach the asked state, the message naming each such outlet
// and its state. A reset is done once the board answers a status query again
// (within resetAnswerMs, or one timeout when that is longer). A cycle never
// leaves its outlets off: when the pause is cut short, or the off half fails
// with some of them off, it switches them back on and says so (Interrupted,
// or BoardFailed); when that fails, the message names the outlets that may
// still be off.
Outcome runVerb(Board& board, const VerbRequest& request, const OutletNames& names, const Pause& pause);

// The wording and steps the verbs share with orvessa serve's board queue.

// "outlet 3 (router) is off, not on; ..." for each of `outlets` whose state in
// `word` is not the one `wanted` gives it; empty when every one is.
QString stateMismatches(std::uint16_t word, const QList<int>& outlets, const std::function<bool(int)>& wanted,
                        const OutletNames& names);

// "the board did not switch: outlet 3 (router) is off, not on; ..." for each
// of `outlets` whose state in `word` is not the one `wanted` gives it; empty
// when every one is.
QString switchFailure(std::uint16_t word, const QList<int>& outlets, const std::function<bool(int)>& wanted,
                      const OutletNames& names);
// "outlet 3 (router), outlet 5".
QString outletLabels(const QList<int>& outlets, const OutletNames& names);
// Why a cycle's outlets went back on early: "interrupted by SIGTERM during the off-time".
QString offTimeInterrupted(const QString& cause);
// "<why>; outlet 3 (router) switched back on".
QString switchedBackOn(const QString& why, const QList<int>& outlets, const OutletNames& names);
// "<why>; switching back on failed: <failure>; outlet 3 (router) may still be off".
QString switchBackOnFailed(const QString& why, const QString& failure, const QList<int>& maybeOff,
                           const OutletNames& names);
// Resets the board; done once it answers a status query again (within
// answerMs, or one timeout when that is longer). Throws BoardError when the
// device fails.
Outcome resetBoard(Board& board, int answerMs);

}  // namespace Driver
