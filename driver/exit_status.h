#pragma once

// What orvessa's exit status tells its caller.
enum class ExitStatus : int {
    Done = 0,            // done, and the board confirmed it
    BoardFailed = 1,     // no answer, or an outlet not in the asked state
    Usage = 2,           // a bad command line: nothing was written
    PortFailed = 3,      // the port cannot be opened (also after --wait), or a signal ended the wait for it
    ToolFailed = 4,      // upgrade --exec: the firmware tool failed or could not be started
    Interrupted = 5,     // a signal cut a cycle's off-time short; its outlets were switched back on
    OutcomeUnknown = 6,  // the connection to a server was lost after the request was sent; it was not repeated
};
