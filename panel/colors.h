#pragma once

#include <QColor>

namespace Colors {
inline const QColor Red(255, 0, 0);
inline const QColor Green(0, 255, 0);
inline const QColor Background(128, 128, 255);
}  // namespace Colors
