// The built panel driving a board that orvessa serve holds: the simulator on
// COM1 served by orvessa serve, the panel started on COM1 with the server's
// runtime folder, so it finds the port busy and goes through the server.
// Runs under Xvfb (see on-xvfb), with xdotool as the operator's hand.
#include "on_screen.h"
#include "serve_process.h"
#include "sim_process.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QScopeGuard>
#include <QScreen>
#include <QTemporaryDir>

using namespace OnScreen;

namespace {
// The panel's top-level window, once its title names the server.
QString panelWindow() { return window("orvessa serve"); }

// The token the server made for itself, in its runtime folder.
QByteArray serverToken(ServeProcess& server)
{
    QFile file(QStringLiteral("%1/serve-%2.token").arg(server.runtimeFolder()).arg(server.pid()));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

// The HTTP status of the server's event stream, read from its headers alone.
int eventStreamStatus(ServeProcess& server)
{
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(server.url("/api/events"))};
    request.setRawHeader("Authorization", "Bearer " + serverToken(server));
    QNetworkReply* reply = manager.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    reply->abort();
    reply->deleteLater();
    return status;
}
}  // namespace

class TestOnScreenServed : public QObject {
    Q_OBJECT
private slots:
    void lampsFollowTheServerAndClicksReachTheBoard_data()
    {
        QTest::addColumn<int>("before");   // switched on before the panel starts
        QTest::addColumn<int>("outlet");   // switched with orvessa on while it runs
        QTest::addColumn<int>("clicked");  // the channel clicked on the panel
        QTest::newRow("orvessa on 7, then channel 2") << 1 << 7 << 2;
    }
    void lampsFollowTheServerAndClicksReachTheBoard()
    {
        QFETCH(int, before);
        QFETCH(int, outlet);
        QFETCH(int, clicked);
        SimProcess sim({});
        QVERIFY(!sim.device().isEmpty());
        ServeProcess server({"--port", sim.device(), "--listen", "127.0.0.1:0"});
        QVERIFY2(server.serving(), qPrintable(server.log()));
        if (const int status = eventStreamStatus(server); status != 200)
            QSKIP(qPrintable(QStringLiteral("orvessa serve answers /api/events with %1: without its event stream the "
                                            "panel cannot follow the board through it")
                                 .arg(status)));

        QTemporaryDir config;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TAVRIN_COM1", sim.device());
        env.insert("XDG_CONFIG_HOME", config.path());
        // The server's runtime folder: its address file and local socket are there.
        env.insert("XDG_RUNTIME_DIR", QFileInfo(server.runtimeFolder()).path());
        env.remove("QT_QPA_PLATFORM");
        run(QStringLiteral(ORVESSA_PATH), {"--port", sim.device(), "on", QString::number(before)}, env);
        QProcess panel;
        auto stopPanel = qScopeGuard([&panel] {
            panel.terminate();
            if (!panel.waitForFinished(10000))
                panel.kill();
        });
        panel.setProcessEnvironment(env);
        panel.setProcessChannelMode(QProcess::ForwardedChannels);
        panel.start(QStringLiteral(TAVRIN_PANEL_PATH), {});
        QVERIFY(panel.waitForStarted(10000));

        QString window;
        QTRY_VERIFY_WITH_TIMEOUT(!(window = panelWindow()).isEmpty(), 20000);
        const QString title = run("xdotool", {"getwindowname", window});
        QVERIFY2(title.startsWith("TavrinV1.3prj — orvessa serve (process " + QString::number(server.pid())),
                 qPrintable(title));
        const QPoint origin = windowOrigin(window);
        const int lamp = outlet - 1;
        // The server's first state paints the lamps. The panel has then had
        // its first reply and polls every 5 s: a lamp that follows sooner was
        // pushed.
        QTRY_COMPARE_WITH_TIMEOUT(pixel(origin + lampCentre(before - 1)), QColor(255, 0, 0), 20000);
        QCOMPARE(pixel(origin + lampCentre(lamp)), QColor(0, 255, 0));
        // The tick after the first reply still polls; the slow pace begins then.
        QTest::qWait(500);

        const QString said =
            run(QStringLiteral(ORVESSA_PATH), {"--port", sim.device(), "on", QString::number(outlet)}, env);
        QTRY_VERIFY2_WITH_TIMEOUT(sim.commands().contains(QStringLiteral("s0%1p").arg(QChar('0' + lamp))),
                                  qPrintable(said + '\n' + sim.commands().join(' ')), 10000);
        // Pushed by the server as it reads the board, not found by a poll
        // five seconds later.
        QTRY_COMPARE_WITH_TIMEOUT(pixel(origin + lampCentre(lamp)), QColor(255, 0, 0), 1000);

        const QPoint button = buttonCentre(clicked);
        run("xdotool",
            {"mousemove", "--window", window, QString::number(button.x()), QString::number(button.y()), "click", "1"});
        QTRY_VERIFY_WITH_TIMEOUT(sim.commands().contains(QStringLiteral("s0%1p").arg(QChar('0' + clicked))), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(pixel(origin + lampCentre(clicked)), QColor(255, 0, 0), 5000);
        // Closing the panel ends its session only: the server answers on.
        stopPanel.dismiss();
        panel.terminate();
        QVERIFY(panel.waitForFinished(10000));
        QNetworkAccessManager manager;
        QCOMPARE(httpCall(manager, "GET", server.url("/api/status"), {}, serverToken(server)).status, 200);
    }
};

QTEST_MAIN(TestOnScreenServed)
#include "tst_on_screen_served.moc"
