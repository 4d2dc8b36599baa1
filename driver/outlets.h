#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <variant>

// Outlets as a caller names them: a number from 1 to 12 (outlet n is the
// board's channel n-1) or a name the outlet has in the panel's settings.
namespace Driver {

inline constexpr int OutletCount = 12;

// Outlets 1 to 12, in order.
QList<int> allOutlets();

// Outlet n's name at index n-1; empty where the outlet has none.
using OutletNames = std::array<QString, OutletCount>;

// The outlets given, in the order given; one given twice counts once. A digit
// string is always a number, so a name never hides an outlet number. Fails
// with a message for anything that is neither an outlet number nor exactly
// one outlet's name.
std::variant<QList<int>, QString> parseOutlets(const QStringList& given, const OutletNames& names);

// "outlet 3 (router)", or "outlet 3" when it has no name.
QString outletLabel(int outlet, const OutletNames& names);

// Whether outlet n is on in the board's state word: bit n-1 is set.
constexpr bool isOn(unsigned word, int outlet) { return (word >> (outlet - 1)) & 1u; }
// "on" or "off".
inline QString stateName(bool on) { return on ? QStringLiteral("on") : QStringLiteral("off"); }

}  // namespace Driver
