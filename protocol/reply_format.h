#pragma once

#include <cstdint>

// The controller's two replies, four bytes each, as the panel's reply
// assembler and the command line's reply scanner both read them:
//   status reply         0x00, low byte, high byte, 't'
//   upgrade-ready reply  any byte, 'u', 'p', 'd'
namespace ReplyFormat {

inline constexpr int Size = 4;
inline constexpr std::uint8_t StatusMark = 't';
inline constexpr std::uint8_t UpgradeMark = 'd';

// `group` points at four bytes.
constexpr bool isStatus(const std::uint8_t* group) { return group[0] == 0 && group[3] == StatusMark; }
constexpr bool isUpgradeReady(const std::uint8_t* group)
{
    return group[1] == 'u' && group[2] == 'p' && group[3] == UpgradeMark;
}
// The output-state word a status reply carries: low byte + 256 * high byte.
constexpr std::uint16_t stateword(const std::uint8_t* group)
{
    return static_cast<std::uint16_t>(group[1] + 256u * group[2]);
}

}  // namespace ReplyFormat
