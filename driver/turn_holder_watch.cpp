#include "turn_holder_watch.h"

#include "lock_owner.h"

#include <optional>
#include <utility>

TurnHolderWatch::TurnHolderWatch(QString device) : device_(std::move(device)) { sinceLastLook_.start(); }

bool TurnHolderWatch::passOver()
{
    if (freeMs_ < GraceMs && sinceLastLook_.elapsed() >= LookEveryMs) {
        const qint64 sinceLastMs = sinceLastLook_.restart();
        const std::optional<LockOwner> lock = deviceLock(device_);
        if (!lock || lock->stale())
            freeMs_ += sinceLastMs;
    }
    return freeMs_ >= GraceMs;
}
