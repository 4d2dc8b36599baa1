// Orvessa controller protocol state: command parser, output word and upgrade mode.
// Pure logic with no I/O, so it can be driven byte by byte from tests.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvessa::sim {

enum class CommandKind { StatusQuery, ToggleChannel, AllOn, AllOff, Upgrade, Reset };

// One complete command recognised in the input stream.
struct ModelEvent {
    CommandKind kind = CommandKind::Reset;
    int channel = -1;                 // only for ToggleChannel
    std::string text;                 // the command bytes as received, e.g. "s0:p" or "b"
    bool obeyed = true;               // false when upgrade mode or a stuck controller ignored it
    std::vector<std::uint8_t> reply;  // bytes the controller answers, possibly none
};

class ControllerModel {
public:
    static constexpr int kChannels = 12;
    static constexpr std::uint16_t kAllOutputs = 0x0FFF;
    static constexpr std::uint8_t kUpgradeReplyLead = 0x73;

    // A stuck controller ignores every command that would switch an outlet.
    explicit ControllerModel(std::uint16_t word = 0, bool stuck = false);

    // Feeds received bytes; returns the commands they completed, in order.
    std::vector<ModelEvent> feed(std::span<const std::uint8_t> bytes);
    std::vector<ModelEvent> feed(std::string_view bytes);

    // The panel closed the port: leave upgrade mode and drop a partial command.
    void portClosed();

    [[nodiscard]] std::uint16_t word() const { return word_; }
    [[nodiscard]] bool upgradeMode() const { return upgrade_; }
    [[nodiscard]] bool midCommand() const { return !pending_.empty(); }

private:
    void feedByte(char byte, std::vector<ModelEvent>& out);
    void feedIdle(char byte, std::vector<ModelEvent>& out);
    void complete(CommandKind kind, int channel, std::vector<ModelEvent>& out);

    std::uint16_t word_;
    bool stuck_;
    bool upgrade_ = false;
    std::string pending_;  // bytes of the 's' command in progress
};

}  // namespace orvessa::sim
