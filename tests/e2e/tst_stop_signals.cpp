// The built panel ends on SIGTERM, SIGHUP and SIGINT as on a close of its
// window: the port choice saved, the port closed with its lock file, exit
// status 0; also when a message box is open.
#include "sim_process.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>

#include <csignal>

#include <sys/syscall.h>

namespace {
constexpr int kWait = 20000;

// QSerialPort's lock file of a device: LCK.. and its path under /dev, '/' as '_'.
QString lockFile(QString device)
{
    if (device.startsWith("/dev/"))
        device.remove(0, 5);
    return "/run/lock/LCK.." + device.replace('/', '_');
}

// The panel's main thread sleeps in poll(): it waits in an event loop. The
// kernel names the call of a sleeping thread only, so a look at pending
// events that does not wait never counts.
bool waitsInEventLoop(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/syscall").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool ok = false;
    const long call = file.readAll().split(' ').value(0).toLong(&ok);
#ifdef SYS_poll
    if (ok && call == SYS_poll)
        return true;
#endif
    return ok && call == SYS_ppoll;
}
}  // namespace

class TestStopSignals : public QObject {
    Q_OBJECT
private slots:
    void signalClosesTheWindow_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<bool>("deviceMissing");
        QTest::addColumn<int>("pollsBefore");  // status queries the simulator sees first
        QTest::newRow("SIGTERM") << SIGTERM << QStringList() << false << 1;
        QTest::newRow("SIGHUP") << SIGHUP << QStringList() << false << 1;
        QTest::newRow("SIGINT") << SIGINT << QStringList() << false << 1;
        // The box is shown before the window and before the main loop.
        QTest::newRow("SIGTERM, start-up's error box open") << SIGTERM << QStringList() << true << 0;
        // Shown from the 30th tick; the 31st comes inside the box's loop.
        QTest::newRow("SIGTERM, link-fault box open") << SIGTERM << QStringList{"--silent"} << false << 31;
    }

    void signalClosesTheWindow()
    {
        QFETCH(int, signal);
        QFETCH(QStringList, simOptions);
        QFETCH(bool, deviceMissing);
        QFETCH(int, pollsBefore);
        QTemporaryDir config;
        SimProcess sim(simOptions);
        QVERIFY(!sim.device().isEmpty());
        const QString device = deviceMissing ? config.filePath("gone") : sim.device();

        QProcess panel;
        auto stopPanel = qScopeGuard([&panel] {
            panel.kill();
            panel.waitForFinished(10000);
        });
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TAVRIN_COM1", device);
        env.insert("XDG_CONFIG_HOME", config.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        panel.setProcessEnvironment(env);
        panel.setProcessChannelMode(QProcess::ForwardedChannels);
        panel.start(QStringLiteral(TAVRIN_PANEL_PATH), {});
        QVERIFY(panel.waitForStarted(10000));

        QTRY_VERIFY_WITH_TIMEOUT(sim.commands().count("s00t") >= pollsBefore, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(waitsInEventLoop(panel.processId()), kWait);
        QCOMPARE(QFile::exists(lockFile(device)), !deviceMissing);
        QCOMPARE(::kill(pid_t(panel.processId()), signal), 0);

        QVERIFY(panel.waitForFinished(kWait));
        QCOMPARE(panel.exitStatus(), QProcess::NormalExit);
        QCOMPARE(panel.exitCode(), 0);
        const QSettings saved(config.filePath("Tavrin/TavrinV1.3prj.conf"), QSettings::IniFormat);
        QCOMPARE(saved.value("Com/PORT").toString(), QString("1"));
        QVERIFY(!QFile::exists(lockFile(device)));
    }
};

QTEST_GUILESS_MAIN(TestStopSignals)
#include "tst_stop_signals.moc"
