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

    // What the lamp stands for ("outlet 4: router"), said before its colour.
    void setPurpose(const QString& purpose);
    // What each fill colour means ("red: on"), for assistive technology: the
    // lamp's accessible description follows the colour it is painted in.
    void describeColors(QList<QPair<QColor, QString>> meanings);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void updateDescription();

    QColor fill_;
    QString purpose_;
    QList<QPair<QColor, QString>> meanings_;
};
