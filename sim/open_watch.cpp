#include "open_watch.h"

#include <sys/inotify.h>

#include <cerrno>
#include <cstring>

namespace orvessa::sim {

OpenWatch::OpenWatch(const std::string& path)
    : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_.valid() && ::inotify_add_watch(fd_.get(), path.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        fd_.reset();
    }
}

void OpenWatch::expectOwnOpenClose() {
    ++ownOpens_;
    ++ownCloses_;
}

std::vector<OpenWatch::Edge> OpenWatch::drain() {
    std::vector<Edge> edges;
    alignas(inotify_event) char buffer[4096];
    while (fd_.valid()) {
        const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        for (ssize_t off = 0; off < n;) {
            inotify_event ev{};
            std::memcpy(&ev, buffer + off, sizeof ev);
            off += static_cast<ssize_t>(sizeof ev + ev.len);
            if ((ev.mask & IN_OPEN) != 0) {
                if (ownOpens_ > 0) {
                    --ownOpens_;
                } else if (++openCount_ == 1) {
                    edges.push_back(Edge::Opened);
                }
            }
            if ((ev.mask & IN_CLOSE) != 0) {
                if (ownCloses_ > 0) {
                    --ownCloses_;
                } else if (openCount_ > 0 && --openCount_ == 0) {
                    edges.push_back(Edge::Closed);
                }
            }
        }
    }
    return edges;
}

}  // namespace orvessa::sim
