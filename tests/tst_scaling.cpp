// The window under high-DPI scaling: every control keeps its place relative
// to the window, and the lamps stay round. Run with QT_SCALE_FACTOR or
// QT_FONT_DPI set by the test registration.
#include "window_fixture.h"

#include "frame.h"
#include <QComboBox>
#include <QPushButton>
#include <QtTest>

class TestScaling : public QObject {
    Q_OBJECT
private slots:
    void controlsKeepTheirPlaceInTwips()
    {
        WindowFixture w;
        Form1& f = *w.form;
        const double perTwip = f.width() / 8670.0;
        QVERIFY(qAbs(f.height() - 5175 * perTwip) <= 1);
        struct Placed {
            QWidget* widget;
            int left, top, width, height;
        };
        const QList<Placed> placed{{f.Key0[0], 120, 840, 495, 495},     {f.Key0[11], 8040, 840, 495, 495},
                                   {f.Lamp0[23], 8160, 1920, 255, 255}, {f.Keyall, 7200, 3240, 1095, 375},
                                   {f.Com, 4200, 3720, 855, 330},       {f.Frame3, 2040, 3360, 1575, 975},
                                   {f.Comopen, 5640, 4200, 975, 495},   {f.Upcomm, 2160, 4440, 1215, 495}};
        for (const Placed& p : placed) {
            const QRect r = p.widget->geometry();
            QVERIFY(qAbs(r.x() - p.left * perTwip) <= 1);
            QVERIFY(qAbs(r.y() - p.top * perTwip) <= 1);
            QVERIFY(qAbs(r.width() - p.width * perTwip) <= 1);
            QVERIFY(qAbs(r.height() - p.height * perTwip) <= 1);
        }
    }

    void lampsAreRoundAtTheDeviceResolution()
    {
        WindowFixture w;
        Lamp* lamp = w.form->Lamp0[0];
        const QImage image = lamp->grab().toImage();
        const qreal ratio = w.form->devicePixelRatioF();
        QCOMPARE(image.width(), qRound(lamp->width() * ratio));
        const int n = image.width();
        QCOMPARE(image.pixelColor(n / 2, n / 2), kGreen);
        // Corners lie outside the circle; the shape is symmetric both ways.
        QVERIFY(image.pixelColor(0, 0).alpha() == 0);
        int mismatches = 0;
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const QColor c = image.pixelColor(x, y);
                mismatches += qAbs(c.alpha() - image.pixelColor(n - 1 - x, y).alpha()) > 40;
                mismatches += qAbs(c.alpha() - image.pixelColor(x, n - 1 - y).alpha()) > 40;
                mismatches += qAbs(c.alpha() - image.pixelColor(y, x).alpha()) > 40;
            }
        QCOMPARE(mismatches, 0);
    }
};

QTEST_MAIN(TestScaling)
#include "tst_scaling.moc"
