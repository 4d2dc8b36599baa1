#include "lamp.h"

#include "colors.h"

#include <QAccessibleWidget>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

// A lamp is an indicator to assistive technology, not an empty client area.
QAccessibleInterface* lampInterface(const QString& className, QObject* object)
{
    if (className == QLatin1String("Lamp") && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Indicator);
    return nullptr;
}

}  // namespace

Lamp::Lamp(QWidget* parent) : QWidget(parent), fill_(Colors::Green)
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(lampInterface);
        return true;
    }();
    Q_UNUSED(factoryInstalled);
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

void Lamp::setPurpose(const QString& purpose)
{
    purpose_ = purpose;
    updateDescription();
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
            setAccessibleDescription(purpose_.isEmpty() ? meaning : purpose_ + QStringLiteral("; ") + meaning);
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
