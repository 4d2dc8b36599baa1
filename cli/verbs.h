#pragma once

#include "arguments.h"
#include "board.h"
#include "exit_status.h"
#include "outlets.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

// What each verb does with the board: which commands, in which order, and
// what counts as done.
namespace Cli {

struct Outcome {
    ExitStatus status = ExitStatus::Done;
    std::optional<std::uint16_t> word;  // the last state read from the board
    QList<int> outlets;                 // the outlets the result is about
    QString error;                      // why it failed
    bool silent = false;                // the board did not answer
};

struct VerbRequest {
    Verb verb = Verb::Status;
    QList<int> outlets;  // resolved; empty for status means all
    int offTimeMs = 0;
};

// Sleeps between the two halves of a cycle.
using Pause = std::function<void(int ms)>;

// Runs one verb that talks to the board (every verb but ports). A board that
// stays silent or fails gives BoardFailed with the reason; so does an outlet
// that does not reach the asked state, the message naming each such outlet
// and its state.
Outcome runVerb(Board& board, const VerbRequest& request, const OutletNames& names, const Pause& pause);

}  // namespace Cli
