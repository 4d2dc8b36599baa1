// Follows opens and closes of the pty slave through inotify, so a quick
// close-and-reopen by the panel is never missed, and the simulator can sleep
// in poll() while nobody has the port open.
#pragma once

#include "unique_fd.h"

#include <string>
#include <vector>

namespace orvessa::sim {

class OpenWatch {
public:
    enum class Edge { Opened, Closed };   // first open / last close of the slave

    explicit OpenWatch(const std::string& path);

    // False when inotify is unavailable; the caller then polls for POLLHUP.
    [[nodiscard]] bool valid() const { return fd_.valid(); }
    [[nodiscard]] int fd() const { return fd_.get(); }

    // Reads the queued events and returns the open/closed transitions.
    std::vector<Edge> drain();

    // The simulator is about to open and close the slave itself.
    void expectOwnOpenClose();
    // The master saw POLLHUP: nobody holds the slave now.
    void markAllClosed() { openCount_ = 0; }

private:
    UniqueFd fd_;
    int openCount_ = 0;
    int ownOpens_ = 0;
    int ownCloses_ = 0;
};

}  // namespace orvessa::sim
