// Start-up, the port list, the port button and shut-down, step by step.
#include "qt_platform_services.h"
#include "window_fixture.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTimer>
#include <QtTest>

namespace {
QString errorNumberOf(const QString& message)
{
    static const QRegularExpression re("^error NO: (-?\\d+)--");
    const auto match = re.match(message);
    return match.hasMatch() ? match.captured(1) : QString();
}
}  // namespace

class TestPortLifecycle : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // As the program names itself: without an organisation QSettings
        // refuses every write, which would hide why a store fails.
        QCoreApplication::setOrganizationName("Tavrin");
        QCoreApplication::setApplicationName("TavrinV1.3prj");
    }

    void startUpWithSavedPort_data()
    {
        QTest::addColumn<QString>("saved");  // null: nothing stored
        QTest::addColumn<int>("listIndex");
        QTest::addColumn<QString>("shown");  // the text in the port list's field
        QTest::addColumn<int>("openPort");   // 0: closed
        QTest::addColumn<QString>("error");  // number of the error report, empty for none

        QTest::newRow("nothing stored") << QString() << 0 << "COM1" << 1 << "";
        QTest::newRow("empty") << "" << 0 << "COM1" << 1 << "";
        QTest::newRow("0") << "0" << 0 << "COM1" << 1 << "";
        QTest::newRow("-2") << "-2" << 0 << "COM1" << 1 << "";
        QTest::newRow("-1") << "-1" << 0 << "COM1" << 1 << "";
        QTest::newRow("3") << "3" << 2 << "COM3" << 3 << "";
        QTest::newRow("spaces") << " 3 " << 2 << "COM3" << 3 << "";
        QTest::newRow("4") << "4" << 3 << "COM4" << 4 << "";
        QTest::newRow("+2") << "+2" << 1 << "COM2" << 2 << "";
        QTest::newRow("5: no entry") << "5" << -1 << "Com" << 0 << "380";
        QTest::newRow("32768: no entry") << "32768" << -1 << "Com" << 0 << "380";
        QTest::newRow("99999: overflow") << "99999" << -1 << "Com" << 0 << "6";
        QTest::newRow("99999999999") << "99999999999" << -1 << "Com" << 0 << "6";
        QTest::newRow("a hundred digits") << QString(100, '7') << -1 << "Com" << 0 << "6";
        QTest::newRow("abc") << "abc" << -1 << "Com" << 0 << "13";
        QTest::newRow("3abc") << "3abc" << -1 << "Com" << 0 << "13";
        QTest::newRow("3.5") << "3.5" << -1 << "Com" << 0 << "13";
        QTest::newRow("0x3") << "0x3" << -1 << "Com" << 0 << "13";
        QTest::newRow("tab before 3") << "\t3" << -1 << "Com" << 0 << "13";
        QTest::newRow("sign alone") << "-" << -1 << "Com" << 0 << "13";
        QTest::newRow("not UTF-8") << QString::fromUtf8("\xff\xfe"
                                                        "3")
                                   << -1 << "Com" << 0 << "13";
    }
    void startUpWithSavedPort()
    {
        QFETCH(QString, saved);
        QFETCH(QString, error);
        WindowFixture w;
        if (!saved.isNull())
            w.platform.settings["Com/PORT"] = saved;
        w.form->startUp();

        QCOMPARE(w.form->windowTitle(), QString("Orvessa  V1.3版本      www.tavrin.com "));
        QCOMPARE(w.form->Com->count(), 4);
        QCOMPARE(w.form->Com->itemText(3), QString("COM4"));
        QCOMPARE(w.form->Key1[11]->text(), QString("开"));
        QTEST(int(w.form->ListIndex()), "listIndex");
        QTEST(w.form->Com->currentText(), "shown");
        QTEST(w.serial.openPort(), "openPort");
        if (error.isEmpty()) {
            QCOMPARE(w.platform.messages, QStringList());
            QVERIFY(w.serial.log.contains("Settings=9600,n,8,1"));
        } else {
            QCOMPARE(w.platform.messages.size(), 1);
            QCOMPARE(errorNumberOf(w.platform.messages.first()), error);
            // The port is neither configured nor opened; the timer keeps ticking.
            QVERIFY(!w.serial.log.contains("Open"));
            QVERIFY(!w.serial.log.join(' ').contains("Settings"));
        }
        QVERIFY(w.form->Timer1->isActive());
        QCOMPARE(w.form->Timer1->interval(), 200);

        // Whatever was stored, shut-down stores a sound choice.
        w.form->show();
        QVERIFY(w.form->close());
        QFETCH(int, listIndex);
        QCOMPARE(w.platform.settings.value("Com/PORT"), QString::number(listIndex + 1));
    }

    void desktopSettingsStoreThatCannotBeWritten()
    {
        QTemporaryFile blocker;  // a file where the config folder should be
        QVERIFY(blocker.open());
        qputenv("XDG_CONFIG_HOME", (blocker.fileName() + "/config").toLocal8Bit());
        QtPlatformServices platform;
        QCOMPARE(platform.getSetting("Com", "PORT", "fallback"), QString("fallback"));
        QVERIFY(!platform.saveSetting("Com", "PORT", "3"));
        qunsetenv("XDG_CONFIG_HOME");
    }

    void handEditedSettingWithACommaIsOneText()
    {
        QTemporaryDir home;
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
        const QString file = QSettings().fileName();
        QVERIFY(QDir().mkpath(QFileInfo(file).path()));
        QFile ini(file);
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Com]\nPORT=3,4\n[Outlets]\n2=router, rack 1\n4=bench\n");
        ini.close();
        QtPlatformServices platform;
        QCOMPARE(platform.getSetting("Com", "PORT", ""), QString("3,4"));
        QCOMPARE(platform.getSettings("Outlets", {"1", "2", "4"}), QStringList({"", "router, rack 1", "bench"}));
        QVERIFY(platform.saveSetting("Com", "PORT", "2"));
        QCOMPARE(platform.getSetting("Com", "PORT", ""), QString("2"));
    }

    // Once the window has unloaded no tick runs, also not one already posted
    // or one falling due under the box that reports an unwritable store.
    void noTickAfterShutDown_data()
    {
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<int>("boxes");
        QTest::newRow("settings stored") << false << 0;
        QTest::newRow("settings store unwritable") << true << 1;
    }
    void noTickAfterShutDown()
    {
        QFETCH(bool, readOnly);
        WindowFixture w;
        w.startWith("1");
        Form1& f = *w.form;
        f.show();
        w.platform.settingsReadOnly = readOnly;
        w.platform.whileBoxShown = [](const QString&) { QCoreApplication::processEvents(); };
        QVERIFY(QMetaObject::invokeMethod(f.Timer1, "timeout"));  // a tick is posted
        QVERIFY(f.close());
        QCoreApplication::processEvents();
        QTEST(int(w.platform.messages.size()), "boxes");
        QVERIFY(!f.Timer1->isActive());
        QCOMPARE(w.serial.log, QStringList({"Close"}));
    }

    void savedThreeOpensPortThreeTwice()
    {
        WindowFixture w;
        w.platform.settings["Com/PORT"] = "3";
        w.form->startUp();
        QCOMPARE(w.serial.log, QStringList({"CommPort=3", "RThreshold=1", "Open", "Close", "CommPort=3",
                                            "Settings=9600,n,8,1", "InputMode=1", "RThreshold=1", "Open"}));
        QCOMPARE(w.platform.yields, 4);  // two in the click handler, two at the end
        QCOMPARE(w.form->Comopen->text(), QString("关闭串口"));
        QCOMPARE(w.form->Shape1->fillColor(), kGreen);
    }

    void firstRunDoesNotClosePortOne()
    {
        WindowFixture w;
        w.form->startUp();
        QCOMPARE(w.serial.log, QStringList({"CommPort=1", "RThreshold=1", "Open", "CommPort=1", "Settings=9600,n,8,1",
                                            "InputMode=1", "RThreshold=1"}));
    }

    void missingDeviceAtStartUpIsReportedTwice()
    {
        WindowFixture w;
        w.serial.failingPorts[2] = SerialError::DeviceMissing;
        w.platform.settings["Com/PORT"] = "2";
        w.form->startUp();
        // The click handler reports its failed open, start-up goes on and fails again at its own open.
        QCOMPARE(w.platform.messages.size(), 2);
        for (const QString& message : w.platform.messages)
            QVERIFY(message.startsWith("error NO: 8002--MSComm1: COM2 (fake) cannot be opened"));
        QCOMPARE(w.serial.openPort(), 0);
        QCOMPARE(w.platform.yields, 0);
        QCOMPARE(w.form->Comopen->text(), QString("关闭串口"));
        // The first tick then finds the port closed.
        w.form->Timer1_Timer();
        QVERIFY(!w.form->Timer1->isActive());
        QCOMPARE(w.platform.messages.last(), QString("串口未打开，请检查串口"));
    }

    void indicatorsFollowThePortControls()
    {
        WindowFixture w;
        w.startWith("1");
        Form1& f = *w.form;
        QList<QColor> lampAtYields;
        w.platform.onYield = [&] { lampAtYields << f.Shape1->fillColor(); };

        // Pick a port while open: closed and reopened, lamp red then green, caption untouched.
        f.Com->setFocus();
        QTest::keyClick(f.Com, Qt::Key_Down);
        QCOMPARE(w.serial.log, QStringList({"Close", "CommPort=2", "RThreshold=1", "Open"}));
        QCOMPARE(lampAtYields, QList<QColor>({kGreen, kGreen, kRed, kRed}));
        QCOMPARE(f.Shape1->fillColor(), kGreen);
        QCOMPARE(f.Comopen->text(), QString("关闭串口"));

        // Close with the port button.
        QTest::mouseClick(f.Comopen, Qt::LeftButton);
        QCOMPARE(w.serial.openPort(), 0);
        QCOMPARE(f.Comopen->text(), QString("打开串口"));
        QCOMPARE(f.Shape1->fillColor(), kRed);

        // Pick a port while closed: opens it, caption back, lamp stays red.
        QTest::keyClick(f.Com, Qt::Key_Down);
        QCOMPARE(w.serial.openPort(), 3);
        QCOMPARE(f.Comopen->text(), QString("关闭串口"));
        QCOMPARE(f.Shape1->fillColor(), kRed);

        // Close and reopen with the button: same port, green.
        QTest::mouseClick(f.Comopen, Qt::LeftButton);
        QTest::mouseClick(f.Comopen, Qt::LeftButton);
        QCOMPARE(w.serial.openPort(), 3);
        QCOMPARE(f.Comopen->text(), QString("关闭串口"));
        QCOMPARE(f.Shape1->fillColor(), kGreen);
        QVERIFY(w.platform.messages.isEmpty());
    }

    void tickInsideThePortSwitchStopsPollingForGood()
    {
        WindowFixture w;
        w.startWith("1");
        Form1& f = *w.form;
        bool ticked = false;
        w.platform.onYield = [&] {
            if (!ticked) {
                ticked = true;
                f.Timer1_Timer();  // falls due between closing and reopening
            }
        };
        f.setListIndex(3);
        QCOMPARE(w.platform.messages, QStringList({"串口未打开，请检查串口"}));
        QCOMPARE(w.serial.openPort(), 4);
        QVERIFY(!f.Timer1->isActive());
        QVERIFY(w.serial.written.isEmpty());
    }

    // A click on the port button inside the list's yields reopens the old port:
    // the list's own open then fails, and its report says which port is open.
    void portReopenedInsideTheSwitchIsReported_data()
    {
        QTest::addColumn<int>("clickAtYield");  // 0: no click
        QTest::addColumn<QStringList>("log");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("openPort");
        QTest::addColumn<QColor>("lamp");

        QTest::newRow("no click") << 0 << QStringList{"Close", "CommPort=3", "RThreshold=1", "Open"} << QStringList()
                                  << 3 << kGreen;
        const QString report = "error NO: 8005--MSComm1: port already open: COM1 (fake) is open, close it first";
        QTest::newRow("click after closing") << 1 << QStringList{"Close", "Open", "CommPort=3", "RThreshold=1", "Open"}
                                             << QStringList{report} << 1 << kRed;
        QTest::newRow("click in the second yield")
            << 2 << QStringList{"Close", "Open", "CommPort=3", "RThreshold=1", "Open"} << QStringList{report} << 1
            << kRed;
    }
    void portReopenedInsideTheSwitchIsReported()
    {
        QFETCH(int, clickAtYield);
        WindowFixture w;
        w.startWith("1");
        Form1& f = *w.form;
        int yields = 0;
        w.platform.onYield = [&] {
            if (++yields == clickAtYield)
                QTest::mouseClick(f.Comopen, Qt::LeftButton);
        };
        f.setListIndex(2);
        QTEST(w.serial.log, "log");
        QTEST(w.platform.messages, "messages");
        QTEST(w.serial.openPort(), "openPort");
        QTEST(f.Shape1->fillColor(), "lamp");
        QCOMPARE(f.Com->currentText(), QString("COM3"));
        // The handler ended at the failed open: no yield after it.
        QCOMPARE(yields, clickAtYield == 0 ? 4 : 2);
    }

    void portButtonFailureIsReportedOnce()
    {
        WindowFixture w;
        w.startWith("1");
        Form1& f = *w.form;
        QTest::mouseClick(f.Comopen, Qt::LeftButton);
        w.serial.failingPorts[1] = SerialError::DeviceMissing;
        QTest::mouseClick(f.Comopen, Qt::LeftButton);
        QCOMPARE(w.platform.messages.size(), 1);
        QVERIFY(w.platform.messages.first().startsWith("error NO: 8002--"));
        QCOMPARE(f.Comopen->text(), QString("打开串口"));
        QCOMPARE(f.Shape1->fillColor(), kRed);
        // The device is back: the button opens it.
        w.serial.failingPorts.clear();
        QTest::mouseClick(f.Comopen, Qt::LeftButton);
        QCOMPARE(w.serial.openPort(), 1);
        QCOMPARE(f.Shape1->fillColor(), kGreen);
    }

    void shutDownStoresTheChoice_data()
    {
        QTest::addColumn<QString>("saved");
        QTest::addColumn<bool>("closeFirst");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("closesThePort");
        QTest::newRow("COM4 open") << "4" << false << "4" << true;
        QTest::newRow("COM2 closed") << "2" << true << "2" << false;
        QTest::newRow("nothing selected") << "7" << false << "0" << false;
        QTest::newRow("bad text") << "abc" << false << "0" << false;
    }
    void shutDownStoresTheChoice()
    {
        QFETCH(bool, closeFirst);
        WindowFixture w;
        QFETCH(QString, saved);
        w.startWith(saved);
        if (closeFirst)
            QTest::mouseClick(w.form->Comopen, Qt::LeftButton);
        w.serial.log.clear();
        w.form->show();
        QVERIFY(w.form->close());
        QTEST(w.platform.settings.value("Com/PORT"), "stored");
        QCOMPARE(w.serial.openPort(), 0);
        QTEST(w.serial.log.contains("Close"), "closesThePort");
    }

    void unwritableSettingsAreReportedAndTheWindowStillCloses()
    {
        WindowFixture w;
        w.startWith("2");
        w.platform.settingsReadOnly = true;
        w.form->show();
        QVERIFY(w.form->close());
        QVERIFY(!w.form->isVisible());
        QCOMPARE(w.platform.messages.size(), 1);
        QVERIFY(w.platform.messages.first().startsWith("error NO: 75--"));
        QCOMPARE(w.serial.openPort(), 0);
    }

    void choicePersistsToTheNextRun()
    {
        FakeSerial serial;
        TestPlatform platform;
        {
            Form1 first(serial, platform);
            first.startUp();
            first.show();
            first.Com->setFocus();
            for (int i = 0; i < 3; ++i)
                QTest::keyClick(first.Com, Qt::Key_Down);
            QCOMPARE(serial.openPort(), 4);
            first.close();
        }
        Form1 second(serial, platform);
        second.startUp();
        QCOMPARE(second.ListIndex(), std::int16_t(3));
        QCOMPARE(second.Com->currentText(), QString("COM4"));
        QCOMPARE(serial.openPort(), 4);
    }
};

QTEST_MAIN(TestPortLifecycle)
#include "tst_port_lifecycle.moc"
