#pragma once

#include <QFont>

namespace Fonts {
// "宋体" at the given size, falling back to installed CJK serif fonts and then
// any CJK font, so that every Chinese text renders.
QFont song(qreal pointSize);
// The window's default font with the same CJK fallbacks behind it.
QFont windowDefault(const QFont& base);
}  // namespace Fonts
