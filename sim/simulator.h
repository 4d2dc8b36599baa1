// The simulator's event loop: moves bytes between the pty and the controller
// model, paces replies, adds noise and follows the panel opening and closing
// the port. Sleeps in ppoll() whenever there is nothing to do.
#pragma once

#include "command_log.h"
#include "controller_model.h"
#include "noise_source.h"
#include "open_watch.h"
#include "options.h"
#include "output_line.h"
#include "pty_port.h"
#include "reply_shaper.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvessa::sim {

class StopSignals;

class Simulator {
public:
    using Clock = std::chrono::steady_clock;

    Simulator(const Options& options, PtyPort port, Clock::time_point start);

    [[nodiscard]] const std::string& slavePath() const { return port_.slavePath(); }

    // Runs until a stop signal, or the panel closing with --exit-on-close.
    // Returns the process exit status.
    int run(const StopSignals& signals);

private:
    void onOpened(Clock::time_point now);
    void onClosed();
    void discardUnreadIfClosed();
    void followPort(Clock::time_point now);
    std::vector<std::uint8_t> readAvailable();
    void feed(std::span<const std::uint8_t> bytes, Clock::time_point now);
    void addNoise(Clock::time_point now);
    void writeDue(Clock::time_point now);
    [[nodiscard]] std::optional<Clock::time_point> nextWake(Clock::time_point now) const;

    bool exitOnClose_;
    PtyPort port_;
    OpenWatch watch_;
    ControllerModel model_;
    ReplyShaper shaper_;
    OutputLine line_;
    NoiseSource noise_;
    CommandLog log_;
    bool peerOpen_ = false;
    bool outputBlocked_ = false;
    bool discardPending_ = false;
    bool closeSeen_ = false;  // a close event not yet matched by POLLHUP or a reopen
    bool stop_ = false;
};

}  // namespace orvessa::sim
