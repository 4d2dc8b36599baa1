#include "open_watch.h"

#include <sys/inotify.h>

#include <cerrno>
#include <cstring>

namespace orvessa::sim {

OpenWatch::OpenWatch(std::string path) : path_(std::move(path)), fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    resume();
}

void OpenWatch::suspend()
{
    if (fd_.valid() && wd_ >= 0) {
        ::inotify_rm_watch(fd_.get(), wd_);
        wd_ = -1;
    }
}

void OpenWatch::resume()
{
    if (fd_.valid() && wd_ < 0) {
        wd_ = ::inotify_add_watch(fd_.get(), path_.c_str(), IN_OPEN | IN_CLOSE);
        if (wd_ < 0) {
            fd_.reset();  // fall back to POLLHUP alone
        }
    }
}

std::vector<OpenWatch::Event> OpenWatch::drain()
{
    std::vector<Event> events;
    alignas(inotify_event) char buffer[4096];
    while (fd_.valid()) {
        const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        for (ssize_t off = 0; off < n;) {
            inotify_event ev{};
            std::memcpy(&ev, buffer + off, sizeof ev);
            off += static_cast<ssize_t>(sizeof ev + ev.len);
            if ((ev.mask & IN_OPEN) != 0)
                events.push_back(Event::Opened);
            if ((ev.mask & IN_CLOSE) != 0)
                events.push_back(Event::Closed);
        }
    }
    return events;
}

}  // namespace orvessa::sim
