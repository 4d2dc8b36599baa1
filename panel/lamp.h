#pragma once

#include <QColor>
#include <QList>
#include <QPair>
#include <QString>
#include <QWidget>

// A filled circle with a thin outline, transparent outside the circle.
class Lamp final : public QWidget {
    Q_OBJECT
public:
    explicit Lamp(QWidget* parent = nullptr);

    void setFillColor(const QColor& color);
    QColor fillColor() const { return fill_; }

    // What each fill colour means, for assistive technology: the lamp's
    // accessible description follows its colour.
    void describeColors(QList<QPair<QColor, QString>> meanings);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void updateDescription();

    QColor fill_;
    QList<QPair<QColor, QString>> meanings_;
};
