#pragma once

// What the on-screen tests share: xdotool as the operator's hand and eyes,
// and where the panel's lamps and buttons sit.
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QPoint>
#include <QProcess>
#include <QScreen>
#include <QStringList>

namespace OnScreen {

inline QString run(const QString& program, const QStringList& args, const QProcessEnvironment& environment = {})
{
    QProcess process;
    if (!environment.isEmpty())
        process.setProcessEnvironment(environment);
    process.start(program, args);
    process.waitForFinished(10000);
    QString out = QString::fromUtf8(process.readAllStandardOutput());
    // Only the line end goes: a window name may end in a space.
    while (out.endsWith('\n'))
        out.chop(1);
    return out;
}

// The first visible window whose name matches `pattern`, once it is mapped.
inline QString window(const QString& pattern)
{
    return run("xdotool", {"search", "--onlyvisible", "--name", pattern}).split('\n').value(0);
}

// "X=..", "Y=.." of the client area's top-left corner.
inline QPoint windowOrigin(const QString& window)
{
    const QStringList lines = run("xdotool", {"getwindowgeometry", "--shell", window}).split('\n');
    QPoint origin;
    for (const QString& line : lines) {
        if (line.startsWith("X="))
            origin.setX(line.mid(2).toInt());
        if (line.startsWith("Y="))
            origin.setY(line.mid(2).toInt());
    }
    return origin;
}

inline QColor pixel(const QPoint& at)
{
    const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    return screen.pixelColor(at);
}

// The centres of channel k's lamp and button in window coordinates (at 96 DPI).
inline QPoint lampCentre(int k) { return QPoint(16 + 48 * k + 8, 32 + 8); }
inline QPoint buttonCentre(int k) { return QPoint(8 + 48 * k + 16, 56 + 16); }

}  // namespace OnScreen
