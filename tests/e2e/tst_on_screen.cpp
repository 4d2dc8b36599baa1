// The built panel as a person meets it: a real window on an X display, the
// simulator on COM1, a click on "全开" and the lamps on screen turning red.
// Runs under Xvfb (see on-xvfb), with xdotool as the operator's hand.
#include "on_screen.h"
#include "sim_process.h"

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QScopeGuard>
#include <QScreen>
#include <QTemporaryDir>

using namespace OnScreen;

namespace {
// The panel's top-level window, once it is mapped.
QString panelWindow() { return window("^Orvessa"); }
}  // namespace

class TestOnScreen : public QObject {
    Q_OBJECT
private slots:
    void allOnTurnsTheLampsRed()
    {
        QTemporaryDir config;
        SimProcess sim({});
        QVERIFY(!sim.device().isEmpty());

        QProcess panel;
        auto stopPanel = qScopeGuard([&panel] {
            panel.terminate();
            if (!panel.waitForFinished(10000))
                panel.kill();
        });
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TAVRIN_COM1", sim.device());
        env.insert("XDG_CONFIG_HOME", config.path());
        env.remove("QT_QPA_PLATFORM");
        panel.setProcessEnvironment(env);
        panel.setProcessChannelMode(QProcess::ForwardedChannels);
        panel.start(QStringLiteral(TAVRIN_PANEL_PATH), {});
        QVERIFY(panel.waitForStarted(10000));

        QString window;
        QTRY_VERIFY_WITH_TIMEOUT(!(window = panelWindow()).isEmpty(), 20000);
        QCOMPARE(run("xdotool", {"getwindowname", window}), QString("Orvessa  V1.3版本      www.tavrin.com "));
        const QPoint origin = windowOrigin(window);

        // Wait for the first answer: the panel then polls slowly and the lamps show all clear.
        QTRY_VERIFY_WITH_TIMEOUT(sim.commands().contains("s00t"), 20000);
        for (int k : {0, 5, 11})
            QTRY_COMPARE_WITH_TIMEOUT(pixel(origin + lampCentre(k)), QColor(0, 255, 0), 20000);

        // "全开" sits at (7200, 3240) twips, 1095 by 375: its centre in pixels.
        run("xdotool", {"mousemove", "--window", window, "516", "228", "click", "1"});
        QTRY_VERIFY_WITH_TIMEOUT(sim.commands().contains("s0ap"), 20000);
        for (int k : {0, 5, 11})
            QTRY_COMPARE_WITH_TIMEOUT(pixel(origin + lampCentre(k)), QColor(255, 0, 0), 20000);
        // The spare row never changes.
        QCOMPARE(pixel(origin + lampCentre(0) + QPoint(0, 96)), QColor(0, 255, 0));
    }
};

QTEST_MAIN(TestOnScreen)
#include "tst_on_screen.moc"
