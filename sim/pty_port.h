// The pseudo-terminal pair: master kept by the simulator, slave for the panel.
#pragma once

#include "unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace orvessa::sim {

class PtyPort {
public:
    // Opens a master, sets the slave line to 9600 8N1 raw and closes the
    // slave again, so the master reports POLLHUP until the panel opens it.
    // Throws std::system_error on failure.
    static PtyPort create();

    [[nodiscard]] int masterFd() const { return master_.get(); }
    [[nodiscard]] const std::string& slavePath() const { return slavePath_; }

    // True while no process holds the slave open (after it was opened once).
    [[nodiscard]] bool hungUp() const;

    // Non-blocking; 0 when nothing is available or the slave is closed.
    std::size_t readSome(std::span<std::uint8_t> buffer);
    // Non-blocking; bytes accepted (0 when the pty buffer is full).
    std::size_t writeSome(std::span<const std::uint8_t> bytes);

    // Drops bytes written to the slave but not read before the panel closed,
    // as a real port discards its input on close. Opens the slave briefly.
    void discardUnread();

private:
    PtyPort(UniqueFd master, std::string slavePath);

    UniqueFd master_;
    std::string slavePath_;
};

}  // namespace orvessa::sim
