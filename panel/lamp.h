#pragma once

#include <QColor>
#include <QWidget>

// A filled circle with a thin outline, transparent outside the circle.
class Lamp final : public QWidget {
    Q_OBJECT
public:
    explicit Lamp(QWidget* parent = nullptr);

    void setFillColor(const QColor& color);
    QColor fillColor() const { return fill_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fill_;
};
