// Reports opens and closes of the pty slave through inotify. POLLHUP on the
// master says whether anyone holds the slave now; the order of these events
// also reveals a close followed at once by a reopen, which POLLHUP alone can
// miss. inotify merges repeated identical events, so they are not counted.
#pragma once

#include "unique_fd.h"

#include <string>
#include <vector>

namespace orvessa::sim {

class OpenWatch {
public:
    enum class Event { Opened, Closed };

    explicit OpenWatch(std::string path);

    // False when inotify is unavailable; the caller then polls for POLLHUP.
    [[nodiscard]] bool valid() const { return fd_.valid(); }
    [[nodiscard]] int fd() const { return fd_.get(); }

    // Reads the queued events, oldest first.
    std::vector<Event> drain();

    // Stops and restarts watching, so the simulator's own open of the slave
    // is not reported. Events queued before suspend() are kept.
    void suspend();
    void resume();

private:
    std::string path_;
    UniqueFd fd_;
    int wd_ = -1;
};

}  // namespace orvessa::sim
