#include "frame.h"

#include <QAccessibleWidget>
#include <QFontMetrics>
#include <QPainter>

namespace {

// A frame is a grouping to assistive technology, as a group box is.
QAccessibleInterface* frameInterface(const QString& className, QObject* object)
{
    if (className == QLatin1String("Frame") && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Grouping);
    return nullptr;
}

}  // namespace

Frame::Frame(const QString& title, QWidget* parent) : QWidget(parent)
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(frameInterface);
        return true;
    }();
    Q_UNUSED(factoryInstalled);
    setFocusPolicy(Qt::NoFocus);
    setTitle(title);
}

void Frame::setTitle(const QString& title)
{
    title_ = title;
    setAccessibleName(title);
    update();
}

void Frame::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QFontMetrics metrics(font());
    // The border runs through the middle of the caption's line.
    const int top = metrics.height() / 2;
    const QColor background = palette().color(QPalette::Window);
    const QRect border = rect().adjusted(0, top, -2, -2);
    painter.setPen(background.darker(150));
    painter.drawRect(border);
    painter.setPen(background.lighter(130));
    painter.drawRect(border.translated(1, 1));

    const int indent = metrics.averageCharWidth();
    const int gap = metrics.averageCharWidth() / 2;
    const QRect caption(indent, 0, metrics.horizontalAdvance(title_) + 2 * gap, metrics.height());
    painter.fillRect(caption, background);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(caption, Qt::AlignCenter, title_);
}
