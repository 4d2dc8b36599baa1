#include "controller_model.h"

namespace orvessa::sim {

namespace {

constexpr char kStart = 's';
constexpr char kReset = 'b';

// Third byte of "s0?p": '0'..';' selects channel 0..11.
int channelOf(char c) { return (c >= '0' && c < '0' + ControllerModel::kChannels) ? c - '0' : -1; }

}  // namespace

ControllerModel::ControllerModel(std::uint16_t word, bool stuck) : word_(word & kAllOutputs), stuck_(stuck) {}

std::vector<ModelEvent> ControllerModel::feed(std::span<const std::uint8_t> bytes)
{
    std::vector<ModelEvent> out;
    for (std::uint8_t b : bytes) {
        feedByte(static_cast<char>(b), out);
    }
    return out;
}

std::vector<ModelEvent> ControllerModel::feed(std::string_view bytes)
{
    std::vector<ModelEvent> out;
    for (char c : bytes) {
        feedByte(c, out);
    }
    return out;
}

void ControllerModel::portClosed()
{
    upgrade_ = false;
    pending_.clear();
}

void ControllerModel::feedIdle(char byte, std::vector<ModelEvent>& out)
{
    if (byte == kStart) {
        pending_.assign(1, byte);
    } else if (byte == kReset) {
        complete(CommandKind::Reset, -1, out);
    }
    // Anything else forms no command and is dropped.
}

void ControllerModel::feedByte(char byte, std::vector<ModelEvent>& out)
{
    const std::string_view p = pending_;
    if (p.empty()) {
        feedIdle(byte, out);
        return;
    }
    if (p == "s") {
        if (byte == '0' || byte == 'u') {
            pending_.push_back(byte);
            return;
        }
    } else if (p == "s0") {
        if (channelOf(byte) >= 0 || byte == 'a' || byte == 'b') {
            pending_.push_back(byte);
            return;
        }
    } else if (p == "su") {
        if (byte == '0') {
            pending_.push_back(byte);
            return;
        }
    } else if (p.size() == 3) {
        const bool upgradeCmd = p[1] == 'u';
        const char sel = p[2];
        pending_.push_back(byte);
        if (upgradeCmd) {
            if (byte == 'p')
                return complete(CommandKind::Upgrade, -1, out);
        } else if (sel == '0' && byte == 't') {
            return complete(CommandKind::StatusQuery, -1, out);
        } else if (byte == 'p') {
            if (sel == 'a')
                return complete(CommandKind::AllOn, -1, out);
            if (sel == 'b')
                return complete(CommandKind::AllOff, -1, out);
            return complete(CommandKind::ToggleChannel, channelOf(sel), out);
        }
        pending_.pop_back();
    }
    // The byte cannot continue the command: abandon it and resynchronise.
    // In "s0b?" the 'b' turned out not to start "s0bp", so it stands as a reset.
    const bool danglingReset = pending_ == "s0b";
    pending_.clear();
    if (danglingReset) {
        complete(CommandKind::Reset, -1, out);
    }
    feedIdle(byte, out);
}

void ControllerModel::complete(CommandKind kind, int channel, std::vector<ModelEvent>& out)
{
    ModelEvent ev;
    ev.kind = kind;
    ev.channel = channel;
    ev.text = kind == CommandKind::Reset ? std::string(1, kReset) : pending_;
    pending_.clear();

    const bool switching =
        kind == CommandKind::ToggleChannel || kind == CommandKind::AllOn || kind == CommandKind::AllOff;
    // Upgrade mode obeys nothing but the reset byte; stuck outlets never switch.
    if ((upgrade_ && kind != CommandKind::Reset) || (stuck_ && switching)) {
        ev.obeyed = false;
        out.push_back(std::move(ev));
        return;
    }
    switch (kind) {
    case CommandKind::StatusQuery:
        ev.reply = {0x00, static_cast<std::uint8_t>(word_ & 0xFF), static_cast<std::uint8_t>(word_ >> 8), 't'};
        break;
    case CommandKind::ToggleChannel:
        word_ ^= static_cast<std::uint16_t>(1u << channel);
        break;
    case CommandKind::AllOn:
        word_ = kAllOutputs;
        break;
    case CommandKind::AllOff:
        word_ = 0;
        break;
    case CommandKind::Upgrade:
        ev.reply = {kUpgradeReplyLead, 'u', 'p', 'd'};
        upgrade_ = true;
        break;
    case CommandKind::Reset:
        upgrade_ = false;  // outputs are kept
        break;
    }
    out.push_back(std::move(ev));
}

}  // namespace orvessa::sim
