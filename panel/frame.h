#pragma once

#include <QString>
#include <QWidget>

// A captioned frame drawn behind the one control it holds: a thin etched
// rectangle with its caption over the top edge, in the window's own colour.
// Painted here rather than by the style, whose group box draws its caption
// bold and loads a picture (and with it every image format plug-in) for the
// border before the window can first be painted.
class Frame final : public QWidget {
    Q_OBJECT
public:
    Frame(const QString& title, QWidget* parent = nullptr);

    QString title() const { return title_; }
    // The caption is also the frame's accessible name.
    void setTitle(const QString& title);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString title_;
};
