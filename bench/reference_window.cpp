// The yardstick for the panel's start-up time and memory: a bare Qt 6 window
// of the panel's size (578 x 345 at 96 DPI) and background colour with one
// push button, started the way the panel starts, so the start-up probe detects
// both windows the same way.
#include <QApplication>
#include <QColor>
#include <QPalette>
#include <QPushButton>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);

    QWidget window;
    window.setWindowTitle(QStringLiteral("Tavrin bench reference"));
    window.setFixedSize(578, 345);
    QPalette palette = window.palette();
    palette.setColor(QPalette::Window, QColor(128, 128, 255));
    window.setPalette(palette);
    window.setAutoFillBackground(true);

    QPushButton button(QStringLiteral("全开"), &window);
    button.setGeometry(240, 150, 100, 32);

    window.show();
    return QApplication::exec();
}
