#pragma once

#include <QByteArray>

// The commands the panel sends to the controller: ASCII, one byte per
// character, no terminator.
namespace Command {

inline constexpr int ChannelCount = 12;

inline const QByteArray StatusQuery = QByteArrayLiteral("s00t");
inline const QByteArray AllOn = QByteArrayLiteral("s0ap");
inline const QByteArray AllOff = QByteArrayLiteral("s0bp");
inline const QByteArray Upgrade = QByteArrayLiteral("su0p");
inline const QByteArray Reset = QByteArrayLiteral("b");

// "s0" + the character with code 48 + channel + "p": channels 10 and 11 use
// ':' and ';', so every channel command is four bytes.
QByteArray channel(int channel);

}  // namespace Command
