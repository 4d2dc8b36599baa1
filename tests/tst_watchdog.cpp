// The poll timer's timeline: polling, slowing down, the link-fault warning and
// the stopped state.
#include "qt_platform_services.h"
#include "window_fixture.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

namespace {
const QString kLinkFault = "串口通讯不正常，请检查串口";
const QString kPortClosed = "串口未打开，请检查串口";
const QByteArray kStatus = QByteArray::fromHex("00050374");

// The boxes shown, an error report standing as "error" whatever its text.
QStringList boxesShown(const TestPlatform& platform)
{
    QStringList shown;
    for (const QString& message : platform.messages)
        shown << (message.startsWith("error NO: ") ? QString("error") : message);
    return shown;
}

void tick(Form1& f, int times)
{
    for (int i = 0; i < times; ++i)
        f.Timer1_Timer();
}
}  // namespace

class TestWatchdog : public QObject {
    Q_OBJECT
private slots:
    void neverAnswered()
    {
        WindowFixture w;
        w.startWith("1");
        tick(*w.form, 29);
        QVERIFY(w.platform.messages.isEmpty());
        tick(*w.form, 1);
        QCOMPARE(w.platform.messages, QStringList({kLinkFault}));
        tick(*w.form, 40000);  // past 32767: no wrap, no second warning
        QCOMPARE(w.platform.messages.size(), 1);
        QCOMPARE(w.form->Ticks(), 40030);
        QCOMPARE(w.serial.written, QByteArray("s00t").repeated(40030));
        QCOMPARE(w.form->Senddis->text(), QString("s00t"));
        QCOMPARE(w.form->Timer1->interval(), 200);
    }

    void answeredOnceThenSilent()
    {
        WindowFixture w;
        w.startWith("1");
        tick(*w.form, 1);
        w.serial.deliverEach(kStatus);
        tick(*w.form, 1);
        QCOMPARE(w.form->Ticks(), 0);
        QCOMPARE(w.form->Timer1->interval(), 5000);
        QVERIFY(w.form->Timer1->isActive());
        // Slot 3 keeps its 't': the controller counts as answering.
        tick(*w.form, 100);
        QCOMPARE(w.form->Ticks(), 0);
        QVERIFY(w.platform.messages.isEmpty());
    }

    void markOverwrittenWarnsOnceAtTheSlowPace()
    {
        WindowFixture w;
        w.startWith("1");
        w.serial.deliverEach(kStatus);
        tick(*w.form, 1);
        w.serial.deliverEach(QByteArray::fromHex("41424344"));  // slot 3 now 0x44
        tick(*w.form, 29);
        QVERIFY(w.platform.messages.isEmpty());
        tick(*w.form, 1);
        QCOMPARE(w.platform.messages, QStringList({kLinkFault}));
        QCOMPARE(w.form->Timer1->interval(), 5000);
    }

    void warningsNeverStack()
    {
        WindowFixture w;
        w.startWith("1");
        Form1& f = *w.form;
        int nested = 0;
        w.platform.whileBoxShown = [&](const QString&) {
            if (nested++ > 0)
                return;
            // While the first warning is open: the controller answers once,
            // then noise hides the mark and the count climbs to 30 again.
            w.serial.deliverEach(kStatus);
            tick(f, 1);
            w.serial.deliverEach(QByteArray::fromHex("4142434445"));
            tick(f, 30);
            QCOMPARE(f.Ticks(), 30);
        };
        tick(f, 30);
        QCOMPARE(w.platform.messages, QStringList({kLinkFault}));
        // Once answered, a new climb warns again.
        w.platform.whileBoxShown = nullptr;
        w.serial.deliverEach(QByteArray::fromHex("00050374"));
        tick(f, 1);
        w.serial.deliverEach(QByteArray::fromHex("4142434445"));
        tick(f, 30);
        QCOMPARE(w.platform.messages, QStringList({kLinkFault, kLinkFault}));
    }

    void portClosedOnTheThirtiethTick()
    {
        WindowFixture w;
        w.startWith("1");
        tick(*w.form, 29);
        QTest::mouseClick(w.form->Comopen, Qt::LeftButton);
        w.serial.written.clear();
        tick(*w.form, 1);
        QCOMPARE(w.platform.messages, QStringList({kPortClosed, kLinkFault}));
        QVERIFY(!w.form->Timer1->isActive());
        QVERIFY(w.serial.written.isEmpty());
    }

    void portClosedWhileTheMarkIsThere()
    {
        WindowFixture w;
        w.startWith("1");
        tick(*w.form, 3);
        w.serial.deliverEach(kStatus);
        QTest::mouseClick(w.form->Comopen, Qt::LeftButton);
        tick(*w.form, 1);
        QCOMPARE(w.form->Ticks(), 0);
        QCOMPARE(w.form->Timer1->interval(), 5000);
        QVERIFY(!w.form->Timer1->isActive());
        QCOMPARE(w.platform.messages, QStringList({kPortClosed}));
        // Opening again does not bring the timer back.
        QTest::mouseClick(w.form->Comopen, Qt::LeftButton);
        QVERIFY(!w.form->Timer1->isActive());
    }

    // How the port was lost decides whether the next tick tells it: a write
    // failure has been told by its own error report, a port that simply is
    // not open is told by the tick. Either way polling stops.
    void portLostBeforeOrDuringATick_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QStringList>("boxes");  // "error" stands for any error report
        QTest::newRow("status write closes the port") << "tick write vanishes" << QStringList{"error"};
        QTest::newRow("status write fails, port stays open") << "tick write fails" << QStringList{"error"};
        QTest::newRow("command write closed the port") << "command write vanishes" << QStringList{"error"};
        QTest::newRow("command write failed, port stays open")
            << "command write fails" << QStringList{"error", "error"};
        QTest::newRow("reopen with the port button failed") << "reopen fails" << QStringList{"error", kPortClosed};
        QTest::newRow("port list failed to open") << "port list fails" << QStringList{"error", kPortClosed};
    }
    void portLostBeforeOrDuringATick()
    {
        QFETCH(QString, how);
        WindowFixture w;
        w.startWith("1");
        Form1& f = *w.form;
        if (how == "tick write vanishes") {
            w.serial.writeVanishes = true;
        } else if (how == "tick write fails") {
            w.serial.writeFails = true;
        } else if (how == "command write vanishes") {
            w.serial.writeVanishes = true;
            QTest::mouseClick(f.Keyall, Qt::LeftButton);
        } else if (how == "command write fails") {
            w.serial.writeFails = true;
            QTest::mouseClick(f.Keyall, Qt::LeftButton);
        } else if (how == "reopen fails") {
            QTest::mouseClick(f.Comopen, Qt::LeftButton);
            w.serial.failingPorts[1] = SerialError::DeviceMissing;
            QTest::mouseClick(f.Comopen, Qt::LeftButton);
        } else if (how == "port list fails") {
            w.serial.failingPorts[2] = SerialError::DeviceBusy;
            f.Com->setFocus();
            QTest::keyClick(f.Com, Qt::Key_Down);
        }
        // The timer is already stopped when a box about the lost port is shown.
        bool stoppedBeforeTheBox = true;
        w.platform.whileBoxShown = [&](const QString&) { stoppedBeforeTheBox &= !f.Timer1->isActive(); };
        tick(f, 1);

        QTEST(boxesShown(w.platform), "boxes");
        QVERIFY(!f.Timer1->isActive());
        QVERIFY(stoppedBeforeTheBox);
        QVERIFY(!w.serial.written.contains("s00t"));
    }

    // A write failure that closed the port is told once, by its error report;
    // once the operator has opened the port again and it has been closed once
    // more, the next tick tells about the closed port as for any other close.
    void lostWriteIsToldOnlyForItsOwnPortSession_data()
    {
        QTest::addColumn<QString>("reopen");
        QTest::addColumn<QString>("close");
        QTest::addColumn<QStringList>("boxes");  // "error" stands for any error report
        const QString upgradeReady = "控制器软件升级准备就绪！请关闭串口，打开AVR下载软件进行下载。";
        QTest::newRow("port button, port button") << "button"
                                                  << "button" << QStringList{"error", kPortClosed};
        QTest::newRow("port list, port button") << "list"
                                                << "button" << QStringList{"error", kPortClosed};
        QTest::newRow("port list, upgrade-ready reply") << "list"
                                                        << "upgrade" << QStringList{"error", upgradeReady, kPortClosed};
        QTest::newRow("port button, upgrade-ready reply")
            << "button"
            << "upgrade" << QStringList{"error", upgradeReady, kPortClosed};
    }
    void lostWriteIsToldOnlyForItsOwnPortSession()
    {
        QFETCH(QString, reopen);
        QFETCH(QString, close);
        WindowFixture w;
        w.startWith("1");
        Form1& f = *w.form;
        w.serial.writeVanishes = true;
        QTest::mouseClick(f.Keyall, Qt::LeftButton);
        QVERIFY(!w.serial.PortOpen());

        if (reopen == "button") {
            QTest::mouseClick(f.Comopen, Qt::LeftButton);
        } else if (reopen == "list") {
            f.Com->setFocus();
            QTest::keyClick(f.Com, Qt::Key_Down);
            QCOMPARE(w.serial.openPort(), 2);
        }
        if (close == "button")
            QTest::mouseClick(f.Comopen, Qt::LeftButton);
        else if (close == "upgrade")
            w.serial.deliverEach(QByteArray::fromHex("73757064"));
        QVERIFY(!w.serial.PortOpen());

        tick(f, 1);
        QTEST(boxesShown(w.platform), "boxes");
        QVERIFY(!f.Timer1->isActive());
    }

    // An unrecognised group that ends in 't' still counts as an answer.
    void unrecognisedGroupEndingInTCountsAsAnswer()
    {
        WindowFixture w;
        w.startWith("1");
        tick(*w.form, 7);
        w.serial.deliverEach(QByteArray::fromHex("01050374"));
        QVERIFY(w.form->Rxdis->text().isEmpty());
        tick(*w.form, 1);
        QCOMPARE(w.form->Ticks(), 0);
        QCOMPARE(w.form->Timer1->interval(), 5000);
    }

    // A tick that falls due while a handler yields runs inside the yield.
    void aTickDueDuringARealYieldRunsInsideIt()
    {
        QStandardPaths::setTestModeEnabled(true);
        FakeSerial serial;
        QtPlatformServices platform;
        Form1 form(serial, platform);
        form.startUp();
        QVERIFY(serial.PortOpen());
        serial.written.clear();
        form.Timer1->start(0);  // due at once
        platform.doEvents();
        QVERIFY(serial.written.startsWith("s00t"));
        form.Timer1->stop();
    }

    // The real timer and a real modal box: ticks go on while the link-fault
    // warning is open, and none of them opens a second box.
    void ticksRunWhileTheLinkFaultBoxIsOpen()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setApplicationName("TavrinV1.3prj");
        FakeSerial serial;
        struct CountingPlatform : QtPlatformServices {
            QStringList shown;
            void msgBox(const QString& text) override
            {
                shown << text;
                QtPlatformServices::msgBox(text);
            }
        } platform;
        Form1 form(serial, platform);
        form.startUp();
        QVERIFY(serial.PortOpen());
        tick(form, 28);

        qint64 ticksWhenClosed = 0;
        bool boxSeen = false;
        QTimer closer;
        closer.setInterval(20);
        QObject::connect(&closer, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            boxSeen = true;
            QCOMPARE(box->text(), kLinkFault);
            QCOMPARE(box->windowTitle(), QString("TavrinV1.3prj"));
            QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
            if (form.Ticks() >= 33) {  // three ticks ran inside the box
                ticksWhenClosed = form.Ticks();
                box->accept();
            }
        });
        closer.start();
        QTRY_VERIFY_WITH_TIMEOUT(ticksWhenClosed > 0, 30000);
        closer.stop();
        QVERIFY(boxSeen);
        QCOMPARE(platform.shown, QStringList({kLinkFault}));
        QVERIFY(serial.written.size() >= 33 * 4);
        QVERIFY(form.Timer1->isActive());
    }
};

QTEST_MAIN(TestWatchdog)
#include "tst_watchdog.moc"
