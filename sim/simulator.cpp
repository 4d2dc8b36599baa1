#include "simulator.h"

#include "stop_signals.h"

#include <poll.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace orvessa::sim {

namespace {

// Without inotify, how often to look for the panel opening the port.
constexpr std::chrono::milliseconds kHangupRecheck{100};
// Safety net while waiting for POLLOUT on a full pty buffer.
constexpr std::chrono::milliseconds kBlockedRecheck{100};
// Noise is dropped rather than queued beyond this many pending bytes.
constexpr std::size_t kNoiseBacklog = 8;

ReplyRules rulesFrom(const Options& o) { return ReplyRules{o.silent, o.answerFirst, o.stray}; }

timespec toTimespec(Simulator::Clock::duration d)
{
    if (d < Simulator::Clock::duration::zero()) {
        d = Simulator::Clock::duration::zero();
    }
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(d - secs);
    return timespec{static_cast<time_t>(secs.count()), static_cast<long>(nanos.count())};
}

}  // namespace

Simulator::Simulator(const Options& options, PtyPort port, Clock::time_point start)
    : exitOnClose_(options.exitOnClose), port_(std::move(port)), watch_(port_.slavePath()),
      model_(options.word, options.stuck), shaper_(rulesFrom(options)),
      line_(options.fast ? OutputLine::Micros{0} : OutputLine::kCharTime9600,
            std::chrono::duration_cast<OutputLine::Micros>(options.splitDelay)),
      noise_(options.noiseRate, options.noiseSeed), log_(options.log, stdout, start)
{}

int Simulator::run(const StopSignals& signals)
{
    while (!signals.requested() && !stop_) {
        Clock::time_point now = Clock::now();
        addNoise(now);
        writeDue(now);

        std::array<pollfd, 2> fds{};
        nfds_t count = 0;
        if (watch_.valid()) {
            fds[count++] = {watch_.fd(), POLLIN, 0};
        }
        // A master with no slave open reports POLLHUP at once, so it is only
        // watched while the panel has the port open.
        const nfds_t masterIndex = count;
        if (peerOpen_) {
            const short events = static_cast<short>(POLLIN | (outputBlocked_ ? POLLOUT : 0));
            fds[count++] = {port_.masterFd(), events, 0};
        }
        const auto wake = nextWake(now);
        const timespec timeout = toTimespec(wake ? *wake - now : Clock::duration::zero());
        if (::ppoll(fds.data(), count, wake ? &timeout : nullptr, signals.waitMask()) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "orvessa-sim: ppoll: %s\n", std::strerror(errno));
            return 1;
        }

        now = Clock::now();
        if (masterIndex < count && (fds[masterIndex].revents & POLLOUT) != 0) {
            outputBlocked_ = false;
        }
        followPort(now);
    }
    return 0;
}

void Simulator::followPort(Clock::time_point now)
{
    // The panel opens the port before writing, so bytes read before the
    // watch is drained never belong to an open the drain does not show.
    // Bytes arriving after the drain wait for the next round.
    std::vector<std::uint8_t> early = readAvailable();

    for (OpenWatch::Event event : watch_.drain()) {
        if (event == OpenWatch::Event::Closed) {
            closeSeen_ = peerOpen_;  // POLLHUP below tells whether it was the last
            continue;
        }
        if (!peerOpen_) {
            onOpened(now);
        } else if (closeSeen_) {
            onClosed();  // closed and reopened before POLLHUP could show it
            onOpened(now);
        }
        closeSeen_ = false;
    }
    // Bytes read around a reopen may be the new session's: feed them after
    // stale replies to the old one are discarded.
    discardUnreadIfClosed();
    if (!peerOpen_ && !early.empty()) {
        onOpened(now);  // someone opened, wrote and closed unseen
    }
    if (peerOpen_ && port_.hungUp()) {
        feed(early, now);  // the session's last bytes count before its close
        early.clear();
        onClosed();
        watch_.drain();  // events up to now are explained by this close
        discardUnreadIfClosed();
    }
    feed(early, now);
    if (!peerOpen_ && !port_.hungUp()) {
        // An open without an event: no inotify, or the watch was suspended.
        onOpened(now);
    }
}

void Simulator::discardUnreadIfClosed()
{
    if (discardPending_) {
        discardPending_ = false;
        watch_.suspend();  // our own open of the slave is no panel's
        port_.discardUnread();
        watch_.resume();
    }
}

void Simulator::onOpened(Clock::time_point now)
{
    peerOpen_ = true;
    closeSeen_ = false;
    outputBlocked_ = false;
    noise_.restart(now);
}

void Simulator::onClosed()
{
    if (!peerOpen_) {
        return;
    }
    peerOpen_ = false;
    closeSeen_ = false;
    outputBlocked_ = false;
    model_.portClosed();
    line_.clear();
    discardPending_ = true;
    if (exitOnClose_) {
        stop_ = true;
    }
}

std::vector<std::uint8_t> Simulator::readAvailable()
{
    std::vector<std::uint8_t> bytes;
    std::array<std::uint8_t, 256> buffer{};
    while (const std::size_t n = port_.readSome(buffer)) {
        bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    }
    return bytes;
}

void Simulator::feed(std::span<const std::uint8_t> bytes, Clock::time_point now)
{
    if (bytes.empty()) {
        return;
    }
    const auto events = model_.feed(bytes);
    if (peerOpen_) {
        for (const ModelEvent& ev : events) {
            line_.queueReply(shaper_.shape(ev));
        }
        writeDue(now);  // replies go out before their log lines appear
    }
    for (const ModelEvent& ev : events) {
        log_.write(ev, now);
    }
}

void Simulator::addNoise(Clock::time_point now)
{
    if (!peerOpen_) {
        return;
    }
    const std::size_t room = line_.pending() < kNoiseBacklog ? kNoiseBacklog - line_.pending() : 0;
    for (std::uint8_t b : noise_.take(now, room)) {
        line_.queueNoise(b);
    }
}

void Simulator::writeDue(Clock::time_point now)
{
    if (!peerOpen_ || outputBlocked_) {
        return;
    }
    const auto bytes = line_.due(now);
    if (bytes.empty()) {
        return;
    }
    const std::size_t written = port_.writeSome(bytes);
    line_.sent(written, now);
    outputBlocked_ = written < bytes.size();
}

std::optional<Simulator::Clock::time_point> Simulator::nextWake(Clock::time_point now) const
{
    std::optional<Clock::time_point> wake;
    const auto earliest = [&wake](std::optional<Clock::time_point> t) {
        if (t && (!wake || *t < *wake))
            wake = t;
    };
    if (peerOpen_) {
        earliest(outputBlocked_ ? std::optional(now + kBlockedRecheck) : line_.nextDue());
        earliest(noise_.nextDue());
    } else if (!watch_.valid()) {
        earliest(now + kHangupRecheck);
    }
    return wake;
}

}  // namespace orvessa::sim
