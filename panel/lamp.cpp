#include "lamp.h"

#include "colors.h"

#include <QPainter>

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
    update();
}

void Lamp::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(fill_);
    painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}
