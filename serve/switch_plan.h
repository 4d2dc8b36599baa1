#pragma once

#include <QByteArrayList>
#include <QList>

#include <cstdint>

// Switching requests pending together, done as one: each takes effect on the
// state the ones before it leave, and the board gets only the commands that
// take it from the state read to the state they leave in the end.
namespace Serve {

struct SwitchAsk {
    enum class How { On, Off, Toggle };
    How how = How::On;
    QList<int> outlets;  // 1 to 12
    bool all = false;    // all on or all off, which the board has its own command for
};

struct SwitchPlan {
    std::uint16_t planned = 0;    // the state once every ask took effect, in order
    QList<std::uint16_t> wanted;  // per ask: the state it asks for (the bits of its outlets)
    QByteArrayList commands;      // from the state read to `planned`
};

// Channel commands for the outlets whose state changes, or the board's all-on
// or all-off command when an ask for all outlets leaves them all alike.
SwitchPlan planSwitches(std::uint16_t before, const QList<SwitchAsk>& asks);

}  // namespace Serve
