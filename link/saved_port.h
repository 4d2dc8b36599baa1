#pragma once

#include <QString>

#include <cstdint>

// Reading the saved port choice, which the user may have edited by hand.
namespace SavedPort {

// Removes leading and trailing spaces (only spaces).
QString trimSpaces(const QString& text);

// An optionally signed decimal integer; anything else fails with a type
// mismatch. Values beyond 64 bits keep their sign and saturate.
std::int64_t toNumber(const QString& text);

// Fails with an overflow when the value does not fit a 16-bit integer.
std::int16_t toInt16(std::int64_t value);

}  // namespace SavedPort
