#include "lamp.h"

#include "colors.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

Lamp::Lamp(QWidget* parent) : QWidget(parent), fill_(Colors::Green)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
}

void Lamp::setFillColor(const QColor& color)
{
    if (color == fill_)
        return;
    fill_ = color;
    updateDescription();
    update();
}

void Lamp::describeColors(QList<QPair<QColor, QString>> meanings)
{
    meanings_ = std::move(meanings);
    updateDescription();
}

void Lamp::updateDescription()
{
    for (const auto& [color, meaning] : meanings_) {
        if (color == fill_) {
            setAccessibleDescription(meaning);
            return;
        }
    }
}

void Lamp::paintEvent(QPaintEvent*)
{
    // The circle is laid on whole device pixels, so it stays round and crisp
    // at fractional scale factors too; the outline is one device pixel wide.
    const qreal ratio = devicePixelRatioF();
    const qreal side = std::floor(std::min(width(), height()) * ratio) / ratio;
    const qreal inset = 0.5 / ratio;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen outline(Qt::black);
    outline.setCosmetic(true);
    outline.setWidthF(1.0);
    painter.setPen(outline);
    painter.setBrush(fill_);
    painter.drawEllipse(QRectF(0, 0, side, side).adjusted(inset, inset, -inset, -inset));
}
