#pragma once

#include <QRect>
#include <QtMath>

// Converts design positions in twips (1440 to the inch) to pixels at a
// logical DPI: 15 twips a pixel at 96 DPI.
class Twips {
public:
    explicit Twips(qreal dpi) : dpi_(dpi > 0 ? dpi : 96.0) {}

    int px(int twips) const { return qRound(twips * dpi_ / 1440.0); }
    QRect rect(int left, int top, int width, int height) const
    {
        // Edges are rounded, not sizes, so neighbouring controls keep their spacing.
        const int x = px(left);
        const int y = px(top);
        return QRect(x, y, px(left + width) - x, px(top + height) - y);
    }

private:
    qreal dpi_;
};
