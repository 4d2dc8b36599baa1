#pragma once

#include <QByteArrayList>
#include <QList>

#include <cstdint>

// Switching requests pending together, done as one: each takes effect on the
// state the ones before it leave, and the board gets only the commands that
// take it from the state read to the state they leave in the end.
namespace Driver {

struct SwitchAsk {
    enum class How { On, Off, Toggle };
    How how = How::On;
    QList<int> outlets;  // 1 to 12
};

struct SwitchPlan {
    std::uint16_t planned = 0;    // the state once every ask took effect, in order
    QList<std::uint16_t> wanted;  // per ask: the state it asks for (the bits of its outlets)
    QByteArrayList commands;      // from the state read to `planned`
    bool usesAll = false;         // the commands begin with the board's all-on or all-off
};

// The fewest commands from the state read to the planned one: a channel
// command for each outlet whose state changes, or, when it takes fewer, the
// board's all-on or all-off followed by channel commands for the outlets that
// then differ (unless `allCommands` is false). Twelve outlets never need more
// than seven commands.
SwitchPlan planSwitches(std::uint16_t before, const QList<SwitchAsk>& asks, bool allCommands = true);

}  // namespace Driver
